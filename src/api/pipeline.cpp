// SPDX-License-Identifier: MIT
// jpg_recode_api: read the source, decode it to a planar 4:2:0 image sized from the frame, encode
// into a stream buffer that grows as needed, write the destination through a temporary file, and
// report every step on the console log. The process state's recode lock serialises recodes, since
// decoder and encoder live in module-wide state; the source is read before it is taken, so slow or
// stuck input never holds up another thread's recode.
#include "api/pipeline.h"

#include <array>
#include <mutex>

#include "api/process_state.h"
#include "common/messages.h"
#include "common/planar_layout.h"
#include "common/records.h"
#include "decoder/decode_driver.h"
#include "decoder/stored_tables.h"
#include "encoder/encode_driver.h"
#include "encoder/encoder_state.h"
#include "encoder/quality.h"
#include "platform/console_log.h"
#include "platform/file_io.h"
#include "platform/heap.h"

namespace kestrum {
namespace {

// Grows the image buffer to the size the frame needs (the buffer holds no data yet).
// Large images reuse the block the last recode kept.
bool reserve_image(ImageBuffer& image, size_t bytes) {
  heap_free(image.data);
  image.data = static_cast<uint8_t*>(take_retained_block(bytes, &image.capacity_bytes));
  return image.data != nullptr;
}

// The destination of a file recode, written while the stream is made once it passes kSpillBytes
// (a large photo's stream then never sits whole in memory beside its source). A temporary file
// that could not be made leaves the stream whole in memory, for the write at the end to try and
// report; a write that failed after bytes were handed over fails the recode's write.
struct StreamedDestination {
  const char* path = nullptr;
  ReplacingWrite file;
  bool has_failed = false;  // bytes were handed over and a later write failed

  static bool take(void* self, const uint8_t* bytes, size_t count) {
    auto& d = *static_cast<StreamedDestination*>(self);
    if (d.has_failed) return false;
    if (!d.file.is_begun() && d.file.begin(d.path) != WriteResult::kOk) return false;
    d.has_failed = !d.file.append(bytes, count);
    return !d.has_failed;
  }
  // The stream begins again (an encode done again): nothing handed over so far counts.
  void restart() {
    file.abandon();
    has_failed = false;
  }
  // Writes the stream's last count bytes (or the whole stream, where none was handed over).
  WriteResult finish(const uint8_t* bytes, size_t count) {
    if (has_failed) return WriteResult::kWriteFailed;
    if (!file.is_begun()) return write_file_replacing(path, bytes, count);
    if (!file.append(bytes, count)) return WriteResult::kWriteFailed;
    return file.commit();
  }
};

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
  StreamedDestination* destination = nullptr;  // a file recode's, else null
  RecodeBuffers() = default;
  RecodeBuffers(const RecodeBuffers&) = delete;
  RecodeBuffers& operator=(const RecodeBuffers&) = delete;
  // Frees the encoder's records and stream (an encode begun again starts from nothing).
  void release_encoder() {
    if (destination != nullptr) destination->restart();
    if (workspace != nullptr) heap_free(workspace->block_buffer);
    if (attribute != nullptr) heap_free(attribute->stream_buffer);
    heap_free(attribute);
    heap_free(workspace);
    attribute = nullptr;
    workspace = nullptr;
  }
  ~RecodeBuffers() {
    release_encoder();
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
  std::unique_lock<std::mutex> lock(recode_mutex(), std::defer_lock);
  try {
    lock.lock();
  } catch (...) {
    return kErrNoMemory;
  }
  open_recode_console(console);
  const RecodePlan plan = requested_recode_plan();
  int32_t status = kErrNoMemory;
  try {
    status = body(plan);
  } catch (...) {
    status = fail_encode(kErrNoMemory, msg::kNoAttributeMemory);
  }
  close_recode_console();
  return status;
}

// A failure of the encoder's set-up, printed by fail_encode where the recode's order puts it.
struct EncodeFailure {
  int32_t code = kRecodeOk;
  const char* message = nullptr;
};

// The first half of an encode: the encoder's records for the PlanarYuv420Image at image (width x
// height) at the request's quality, and the header. Prints nothing.
EncodeFailure prepare_encode(const uint8_t* image, int32_t width, int32_t height,
                             QualityRequest request, const RecodePlan& plan,
                             RecodeBuffers& buffers) {
  reset_encoder_state();  // every recode starts from the encoder of process start
  EncoderState& e = g_encoder;
  e.plan = plan;
  e.image_width = width;
  e.image_height = height;
  e.aligned_width = static_cast<int32_t>((static_cast<uint32_t>(width) + 15) & ~15u);
  e.aligned_height = static_cast<int32_t>((static_cast<uint32_t>(height) + 15) & ~15u);
  e.is_exact_quality = request.is_exact;
  buffers.attribute = static_cast<ImageAttribute*>(heap_calloc(sizeof(ImageAttribute)));
  e.attribute = buffers.attribute;
  buffers.workspace = static_cast<EncoderWorkspace*>(heap_calloc(sizeof(EncoderWorkspace)));
  e.workspace = buffers.workspace;
  if (buffers.workspace != nullptr) {
    buffers.workspace->block_buffer = static_cast<int16_t*>(heap_malloc(kBlockBufferBytes));
  }
  if (buffers.attribute == nullptr || buffers.workspace == nullptr ||
      buffers.workspace->block_buffer == nullptr) {
    return EncodeFailure{kErrNoMemory, msg::kNoAttributeMemory};
  }
  ImageAttribute& a = *buffers.attribute;
  a.input_format = 1;
  a.sampling_format = 2;
  a.quality = request.quality;
  a.aligned_width = e.aligned_width;
  a.aligned_height = e.aligned_height;
  a.plane_count = 3;
  a.image_buffer = image;
  const size_t capacity = initial_stream_capacity(e.aligned_width, e.aligned_height);
  a.stream_buffer = static_cast<uint8_t*>(heap_malloc(capacity));
  a.stream_capacity_bytes = a.stream_buffer != nullptr ? capacity : 0;
  a.option_flags = 0;
  if (JImageInit() != 0) return EncodeFailure{kErrEncoderInit, msg::kInitFailed};
  return EncodeFailure{};
}

// Encodes the PlanarYuv420Image at image (width x height) at the request's quality (see
// prepare_encode). On success the stream is in buffers.attribute. Prints the log of every failure.
int32_t encode_planar(const uint8_t* image, int32_t width, int32_t height, QualityRequest request,
                      const RecodePlan& plan, RecodeBuffers& buffers) {
  const EncodeFailure failure = prepare_encode(image, width, height, request, plan, buffers);
  if (failure.code != kRecodeOk) return fail_encode(failure.code, failure.message);
  if (JImageEncoder() != 0) return fail_encode(kErrEncoder, msg::kEncoderFailed);
  heap_free(buffers.workspace->block_buffer);
  buffers.workspace->block_buffer = nullptr;
  return kRecodeOk;
}

// The one-pass recode's consumer of the decoder's rows: once the frame is known it sets up the
// encoder on a ring of rows, and it codes each row the decoder makes final, in row order, on the
// thread that hands it over (the decoder's, or with two threads the decoder's second thread).
// Two rows are the fewest one thread needs (a row is final once the next one is written); with
// two threads the decoder's thread may write the rows after them meanwhile.
struct OnePass {
  static constexpr uint32_t kRingRowsOneThread = 2;
  static constexpr uint32_t kRingRowsTwoThreads = 4;
  RecodeBuffers& buffers;
  QualityRequest request;
  const RecodePlan& plan;
  uint8_t* ring = nullptr;
  EncodeFailure failure;  // met setting up the encoder; printed after the decoder's messages
  StreamedRows rows;
  std::array<std::array<uint16_t, 64>, 2> tables_used{};  // what the quality estimate read

  OnePass(RecodeBuffers& b, QualityRequest q, const RecodePlan& p)
      : buffers(b), request(q), plan(p) {}
  OnePass(const OnePass&) = delete;
  OnePass& operator=(const OnePass&) = delete;
  ~OnePass() { heap_free(ring); }

  static uint8_t* open(void* self, int32_t width, int32_t height, int32_t padded_width,
                       uint32_t /*mcu_rows*/, uint32_t* ring_rows) {
    OnePass& o = *static_cast<OnePass*>(self);
    const uint32_t ring = o.plan.threads >= 2 ? kRingRowsTwoThreads : kRingRowsOneThread;
    *ring_rows = ring;
    const Planar420Layout layout =
        planar420_layout(static_cast<size_t>(padded_width), 16 * size_t{ring});
    o.ring = static_cast<uint8_t*>(heap_malloc(layout.total_bytes));
    if (o.ring == nullptr) return nullptr;
    o.failure = prepare_encode(o.ring, width, height, o.request, o.plan, o.buffers);
    if (o.failure.code != kRecodeOk) return o.ring;
    o.tables_used = {stored_quant_tables()[0], stored_quant_tables()[1]};
    begin_streamed_rows(static_cast<int32_t>(ring), o.rows);
    if (o.buffers.destination != nullptr) {
      o.rows.take = StreamedDestination::take;
      o.rows.take_context = o.buffers.destination;
    }
    return o.ring;
  }

  static void row_final(void* self, uint32_t row) {
    OnePass& o = *static_cast<OnePass*>(self);
    if (o.failure.code != kRecodeOk) return;
    code_streamed_row(o.rows, static_cast<int32_t>(row));
  }

  // True when the passes after the scan left the tables the quality estimate read.
  bool tables_unchanged() const {
    return tables_used[0] == stored_quant_tables()[0] && tables_used[1] == stored_quant_tables()[1];
  }
};

// The recode in one pass: each MCU row is coded as soon as the decoder has made it final. The
// decoder's messages all come first, as on the whole-image path (the encoder prints only after
// the last row). Where a segment after the scan changed the tables the estimate read, the recode
// is done again through the whole image, its repeated decode unheard.
int32_t recode_in_one_pass(const uint8_t* bytes, uint32_t size, QualityRequest request,
                           const RecodePlan& plan, RecodeBuffers& buffers) {
  OnePass pass(buffers, request, plan);
  const RowStream stream{OnePass::open, OnePass::row_final, &pass};
  int32_t width = 0;
  int32_t height = 0;
  int32_t decoded = decode_jpeg_memory(bytes, size, &width, &height, buffers.image, plan,
                                       &buffers.damage, &stream);
  buffers.is_decoded = decoded == 0;
  if (decoded != 0) {
    console_final(msg::kDecodeFailed, decoded);
    return decoded;
  }
  if (pass.ring == nullptr) {  // a geometry decoded into the whole image
    return encode_planar(buffers.image.data, width, height, request, plan, buffers);
  }
  if (pass.failure.code != kRecodeOk) return fail_encode(pass.failure.code, pass.failure.message);
  if (!pass.tables_unchanged()) {
    buffers.release_encoder();
    RecodePlan whole = plan;
    whole.is_streaming = false;
    mute_recode_console(true);
    decoded =
        decode_jpeg_memory(bytes, size, &width, &height, buffers.image, whole, &buffers.damage);
    mute_recode_console(false);
    buffers.is_decoded = decoded == 0;
    if (decoded != 0) {  // only where memory ran out the second time
      console_final(msg::kDecodeFailed, decoded);
      return decoded;
    }
    return encode_planar(buffers.image.data, width, height, request, whole, buffers);
  }
  if (finish_streamed_rows(pass.rows) != 0) return fail_encode(kErrEncoder, msg::kEncoderFailed);
  heap_free(buffers.workspace->block_buffer);
  buffers.workspace->block_buffer = nullptr;
  return kRecodeOk;
}

// Decodes and encodes; on success the stream is in buffers.attribute. Prints the log of every
// failure up to the encoder.
int32_t decode_and_encode(const uint8_t* bytes, uint32_t size, int32_t quality,
                          const RecodePlan& plan, RecodeBuffers& buffers) {
  const QualityRequest request = lowered_request(quality);
  if (plan.is_streaming) return recode_in_one_pass(bytes, size, request, plan, buffers);
  int32_t width = 0;
  int32_t height = 0;
  const int32_t decoded =
      decode_jpeg_memory(bytes, size, &width, &height, buffers.image, plan, &buffers.damage);
  buffers.is_decoded = decoded == 0;
  if (decoded != 0) {
    console_final(msg::kDecodeFailed, decoded);
    return decoded;
  }
  return encode_planar(buffers.image.data, width, height, request, plan, buffers);
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
  StreamedDestination streamed;
  streamed.path = destination;
  RecodeBuffers buffers;
  buffers.destination = &streamed;
  const int32_t status = decode_and_encode(bytes.data, bytes.size, quality, plan, buffers);
  if (status != kRecodeOk) return status;
  ImageAttribute& a = *buffers.attribute;
  switch (streamed.finish(a.stream_buffer, a.stream_length)) {
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

int32_t encode_planar_locked(const uint8_t* image, int32_t width, int32_t height,
                             QualityRequest request, const RecodePlan& plan, EncodedStream* out) {
  RecodeBuffers buffers;
  const int32_t status = encode_planar(image, width, height, request, plan, buffers);
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
    return encode_planar_locked(image, width, height, exact_request(quality), plan, out);
  });
}

int32_t encode_image(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                     EncodedStream* out) noexcept {
  return run_recode({}, [&](const RecodePlan& plan) {
    return encode_planar_locked(image, width, height, lowered_request(quality), plan, out);
  });
}

}  // namespace kestrum
