// SPDX-License-Identifier: MIT
// jpg_recode_api: read the source, decode it to a planar 4:2:0 image sized from the frame, encode
// into a stream buffer that grows as needed, write the destination through a temporary file, and
// report every step on the console log. One process-wide mutex serialises recodes, since decoder
// and encoder live in module-wide state; the source is read before it is taken, so slow or stuck
// input never holds up another thread's recode.
#include "api/pipeline.h"

#include <mutex>

#include "decoder/decode_driver.h"
#include "encoder/encode_driver.h"
#include "encoder/encoder_state.h"
#include "services/code_path.h"
#include "services/console_log.h"
#include "services/file_io.h"
#include "services/heap.h"
#include "services/messages.h"
#include "services/records.h"
#include "services/retained_block.h"

namespace kestrum {
namespace {

// The recode lock, for the life of the process: one recode at a time uses g_decoder, g_encoder,
// the console and the kept block.
std::mutex g_recode_mutex;

// Grows the image buffer to the size the frame needs (the buffer holds no data yet).
// Large images reuse the block the last recode kept.
bool reserve_image(ImageBuffer& image, size_t bytes) {
  heap_free(image.data);
  image.data = static_cast<uint8_t*>(take_retained_block(bytes, &image.capacity_bytes));
  return image.data != nullptr;
}

// Everything one recode obtains, released on every path. The image block is kept for the next
// recode only after a decode that met all its data and ended at its EOI: a frame whose data ran
// out (a truncated file, or a few hundred bytes that claim a huge frame, with or without an EOI
// after them) leaves nothing resident.
struct RecodeBuffers {
  ImageBuffer image{nullptr, 0, reserve_image, nullptr};
  bool is_decoded = false;
  DecodeDamage damage;  // what the decode met
  ImageAttribute* attribute = nullptr;
  EncoderWorkspace* workspace = nullptr;
  RecodeBuffers() = default;
  RecodeBuffers(const RecodeBuffers&) = delete;
  RecodeBuffers& operator=(const RecodeBuffers&) = delete;
  ~RecodeBuffers() {
    if (workspace != nullptr) heap_free(workspace->block_buffer);
    if (attribute != nullptr) heap_free(attribute->stream_buffer);
    heap_free(attribute);
    heap_free(workspace);
    if (is_decoded && damage.first_starved_row == DecodeDamage::kNoRow && !damage.has_no_eoi) {
      keep_block(image.data, image.capacity_bytes);
    } else {
      heap_free(image.data);
    }
  }
};

// The source file's bytes, read before the recode lock is taken.
struct SourceBytes {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ReadResult read = ReadResult::kCannotOpen;
  SourceBytes() = default;
  SourceBytes(const SourceBytes&) = delete;
  SourceBytes& operator=(const SourceBytes&) = delete;
  ~SourceBytes() { heap_free(data); }
};

int32_t fail_encode(int32_t code, const char* message) {
  console_final("%s", message);
  console_final("%s", msg::kEncodeFailed);
  return code;
}

// Runs body(plan) with the recode lock held, the recode's console open on console and the plan
// read once for the recode. An exception (only allocation failures can raise one) ends the recode
// as the encoder's allocation failure.
template <typename Body>
int32_t run_recode(ConsoleTarget console, Body&& body) noexcept {
  std::unique_lock<std::mutex> lock(g_recode_mutex, std::defer_lock);
  try {
    lock.lock();
  } catch (...) {
    return kErrNoMemory;
  }
  begin_recode_console(console);
  const RecodePlan plan = requested_recode_plan();
  int32_t status = kErrNoMemory;
  try {
    status = body(plan);
  } catch (...) {
    status = fail_encode(kErrNoMemory, msg::kNoAttributeMemory);
  }
  end_recode_console();
  return status;
}

// Encodes the PlanarYuv420Image at image (width x height) at quality; is_exact_quality scales
// the tables at exactly that quality instead of the estimate from the decoder's tables. On success
// the stream is in buffers.attribute. Prints the log of every failure.
int32_t encode_planar(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                      bool is_exact_quality, const RecodePlan& plan, RecodeBuffers& buffers) {
  reset_encoder_state();  // every recode starts from the encoder of process start
  EncoderState& e = g_encoder;
  e.plan = plan;
  e.image_width = width;
  e.image_height = height;
  e.aligned_width = static_cast<int32_t>((static_cast<uint32_t>(width) + 15) & ~15u);
  e.aligned_height = static_cast<int32_t>((static_cast<uint32_t>(height) + 15) & ~15u);
  e.quality = QualityRequest{quality, is_exact_quality};
  buffers.attribute = static_cast<ImageAttribute*>(heap_calloc(sizeof(ImageAttribute)));
  e.attribute = buffers.attribute;
  buffers.workspace = static_cast<EncoderWorkspace*>(heap_calloc(sizeof(EncoderWorkspace)));
  e.workspace = buffers.workspace;
  if (buffers.workspace != nullptr) {
    buffers.workspace->block_buffer = static_cast<int16_t*>(heap_malloc(kBlockBufferBytes));
  }
  if (buffers.attribute == nullptr || buffers.workspace == nullptr ||
      buffers.workspace->block_buffer == nullptr) {
    return fail_encode(kErrNoMemory, msg::kNoAttributeMemory);
  }
  ImageAttribute& a = *buffers.attribute;
  a.input_format = 1;
  a.sampling_format = 2;
  a.quality = static_cast<uint16_t>(static_cast<uint32_t>(quality) & 0xFFFFu);
  a.aligned_width = e.aligned_width;
  a.aligned_height = e.aligned_height;
  a.plane_count = 3;
  a.image_buffer = image;
  const size_t capacity = initial_stream_capacity(e.aligned_width, e.aligned_height);
  a.stream_buffer = static_cast<uint8_t*>(heap_malloc(capacity));
  a.stream_capacity_bytes = a.stream_buffer != nullptr ? capacity : 0;
  a.option_flags = 0;
  if (JImageInit() != 0) return fail_encode(kErrEncoderInit, msg::kInitFailed);
  if (JImageEncoder() != 0) return fail_encode(kErrEncoder, msg::kEncoderFailed);
  heap_free(buffers.workspace->block_buffer);
  buffers.workspace->block_buffer = nullptr;
  return kRecodeOk;
}

// Decodes and encodes; on success the stream is in buffers.attribute. Prints the log of every
// failure up to the encoder.
int32_t decode_and_encode(const uint8_t* bytes, uint32_t size, int32_t quality,
                          const RecodePlan& plan, RecodeBuffers& buffers) {
  int32_t width = 0;
  int32_t height = 0;
  const int32_t decoded =
      decode_jpeg_memory(bytes, size, &width, &height, buffers.image, plan, &buffers.damage);
  buffers.is_decoded = decoded == 0;
  if (decoded != 0) {
    console_final(msg::kDecodeFailed, decoded);
    return decoded;
  }
  return encode_planar(buffers.image.data, width, height, quality, false, plan, buffers);
}

// Hands the finished stream to the caller and prints the success line.
int32_t hand_over_stream(RecodeBuffers& buffers, EncodedStream* out) {
  ImageAttribute& a = *buffers.attribute;
  out->data = a.stream_buffer;
  out->length = a.stream_length;
  a.stream_buffer = nullptr;
  console_final("%s", msg::kEncodeOk);
  return kRecodeOk;
}

// The recode of a file whose bytes were read (or not) before the lock: null paths are refused as
// an unopenable source and an uncreatable destination, before anything is read.
int32_t recode_file_locked(const char* source, const SourceBytes& bytes, const char* destination,
                           int32_t quality, const RecodePlan& plan) {
  if (source != nullptr && destination == nullptr)
    return fail_encode(kErrCreateOutput, msg::kCannotCreate);
  const int32_t read = report_source_read(bytes.read);
  if (read != kRecodeOk) {
    console_final(msg::kDecodeFailed, read);
    return read;
  }
  RecodeBuffers buffers;
  const int32_t status = decode_and_encode(bytes.data, bytes.size, quality, plan, buffers);
  if (status != kRecodeOk) return status;
  ImageAttribute& a = *buffers.attribute;
  switch (write_file_replacing(destination, a.stream_buffer, a.stream_length)) {
    case WriteResult::kCannotCreate:
      return fail_encode(kErrCreateOutput, msg::kCannotCreate);
    case WriteResult::kWriteFailed:
      return fail_encode(kErrWriteOutput, msg::kCannotWrite);
    case WriteResult::kOk:
      break;
  }
  console_final("%s", msg::kEncodeOk);
  return kRecodeOk;
}

int32_t recode_memory_locked(const uint8_t* source, uint32_t size, int32_t quality,
                             const RecodePlan& plan, EncodedStream* out, DecodeDamage* damage) {
  RecodeBuffers buffers;
  const int32_t status = decode_and_encode(source, size, quality, plan, buffers);
  if (damage != nullptr) *damage = buffers.damage;
  if (status != kRecodeOk) return status;
  return hand_over_stream(buffers, out);
}

int32_t encode_planar_locked(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                             bool is_exact_quality, const RecodePlan& plan, EncodedStream* out) {
  RecodeBuffers buffers;
  const int32_t status =
      encode_planar(image, width, height, quality, is_exact_quality, plan, buffers);
  if (status != kRecodeOk) return status;
  return hand_over_stream(buffers, out);
}

}  // namespace

void release_stream(EncodedStream& stream) noexcept {
  heap_free(stream.data);
  stream.data = nullptr;
  stream.length = 0;
}

int32_t recode_file(const char* source, const char* destination, int32_t quality) noexcept {
  SourceBytes bytes;
  if (source != nullptr && destination != nullptr)
    bytes.read = read_whole_file(source, &bytes.data, &bytes.size);
  return run_recode({}, [&](const RecodePlan& plan) {
    return recode_file_locked(source, bytes, destination, quality, plan);
  });
}

int32_t recode_memory(const uint8_t* source, uint32_t size, int32_t quality, EncodedStream* out,
                      ConsoleTarget console, DecodeDamage* damage) noexcept {
  return run_recode(console, [&](const RecodePlan& plan) {
    return recode_memory_locked(source, size, quality, plan, out, damage);
  });
}

int32_t encode_image_memory(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                            EncodedStream* out, ConsoleTarget console) noexcept {
  return run_recode(console, [&](const RecodePlan& plan) {
    return encode_planar_locked(image, width, height, quality, true, plan, out);
  });
}

int32_t encode_image(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                     EncodedStream* out) noexcept {
  return run_recode({}, [&](const RecodePlan& plan) {
    return encode_planar_locked(image, width, height, quality, false, plan, out);
  });
}

void release_retained_memory() noexcept {
  try {
    std::lock_guard<std::mutex> lock(g_recode_mutex);
    release_retained_block();
  } catch (...) {
    // the block stays for the next recode
  }
}

}  // namespace kestrum
