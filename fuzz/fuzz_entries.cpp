// SPDX-License-Identifier: MIT
#include "fuzz_entries.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/pipeline.h"
#include "api/process_state.h"
#include "decoder/decode_driver.h"
#include "kestrum/recode_any.h"
#include "platform/console_log.h"
#include "platform/heap.h"
#include "recode_any/foreign_decode.h"
#include "recode_any/huffman_refit.h"
#include "recode_any/jpeg_segments.h"

namespace kestrum::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// The PlanarYuv420Image of a frame of kFuzzFramePx.
constexpr size_t kFuzzImageBytes = kFuzzFramePx * 3 / 2;

std::string g_log;  // console text since the last take_log

void capture(const char* text, void*) {
  try {
    g_log += text;
  } catch (...) {
    std::abort();  // a log beyond memory is itself a finding
  }
}

std::string take_log() { return std::exchange(g_log, std::string()); }

[[noreturn]] void fail(const char* entry, const std::string& what) {
  std::fprintf(stderr, "fuzz check failed in %s: %s\n", entry, what.c_str());
  std::abort();
}

// Fails with what and the differences found, where there are any.
void fail_on(const char* entry, const std::string& what, const std::string& found) {
  if (!found.empty()) fail(entry, what + found);
}

// Quiet console, one thread, small frames and a bounded heap for the length of one input.
class FuzzScope {
 public:
  FuzzScope() : plan_(requested_recode_plan()) {
    g_log.clear();
    set_console_sink(capture, nullptr);
    heap_limit_bytes(kFuzzAllocationLimit);
    RecodePlan one_thread;
    one_thread.threads = 1;
    set_recode_plan(one_thread);
    set_foreign_frame_limit_px(kFuzzFramePx);
  }
  ~FuzzScope() {
    set_foreign_frame_limit_px(0);
    set_recode_plan(plan_);
    heap_limit_bytes(0);
    set_console_sink(nullptr, nullptr);
    g_log.clear();
  }
  FuzzScope(const FuzzScope&) = delete;
  FuzzScope& operator=(const FuzzScope&) = delete;

 private:
  RecodePlan plan_;
};

std::string differences(const char* name, int32_t a, int32_t b) {
  return a == b ? ""
                : std::string(name) + " " + std::to_string(a) + " and " + std::to_string(b) + "; ";
}
std::string differences(const char* name, const std::string& a, const std::string& b) {
  return a == b ? ""
                : std::string(name) + " \"" + a.substr(0, 300) + "\" and \"" + b.substr(0, 300) +
                      "\"; ";
}
// The first index at which two byte strings differ.
std::string differences(const char* name, const Bytes& a, const Bytes& b) {
  if (a == b) return "";
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return std::string(name) + " differ at byte " + std::to_string(i) + " (" +
         std::to_string(a.size()) + " and " + std::to_string(b.size()) + " bytes); ";
}

// Our decoder's result: status, size, image and console log.
struct Decoded {
  int32_t status = 0;
  int32_t width = 0, height = 0;
  Bytes image;
  std::string log;
};
std::string differences(const Decoded& a, const Decoded& b) {
  return differences("status", a.status, b.status) + differences("width", a.width, b.width) +
         differences("height", a.height, b.height) + differences("images", a.image, b.image) +
         differences("logs", a.log, b.log);
}

bool reserve_vector(ImageBuffer& image, size_t bytes) {
  auto* storage = static_cast<Bytes*>(image.owner);
  if (bytes > kFuzzImageBytes) return false;
  storage->assign(bytes, 0);
  image.data = storage->data();
  image.capacity_bytes = bytes;
  return true;
}

// A decode alone, with the console opened for it as a recode opens it (its message count
// starts at 0).
int32_t decode_with_console(const uint8_t* data, size_t size, int32_t* width, int32_t* height,
                            ImageBuffer& image) {
  open_recode_console(ConsoleTarget{capture, nullptr});
  const int32_t status = decode_jpeg_memory(data, static_cast<uint32_t>(size), width, height, image,
                                            requested_recode_plan());
  close_recode_console();
  return status;
}

Decoded decode(const uint8_t* data, size_t size) {
  Decoded d;
  ImageBuffer image{nullptr, 0, reserve_vector, &d.image};
  take_log();
  d.status = decode_with_console(data, size, &d.width, &d.height, image);
  d.log = take_log();
  return d;
}

bool note_request(ImageBuffer& image, size_t bytes) {
  *static_cast<size_t*>(image.owner) = bytes;
  return false;
}

// True unless the library's decoder would give the input a frame above kFuzzFramePx. The frame
// is known where the decoder asks for its image buffer, which is refused here.
bool library_frame_fits(const uint8_t* data, size_t size) {
  size_t requested_bytes = 0;
  ImageBuffer image{nullptr, 0, note_request, &requested_bytes};
  int32_t width = 0, height = 0;
  decode_with_console(data, size, &width, &height, image);
  take_log();
  return requested_bytes <= kFuzzImageBytes;
}

// The library's recode from memory: status, stream and console log.
struct Recoded {
  int32_t status = 0;
  Bytes stream;
  std::string log;
};
std::string differences(const Recoded& a, const Recoded& b) {
  return differences("status", a.status, b.status) + differences("streams", a.stream, b.stream) +
         differences("logs", a.log, b.log);
}
std::string differences(const RecodeAnyResult& a, const RecodeAnyResult& b) {
  return differences("way", static_cast<int32_t>(a.way), static_cast<int32_t>(b.way)) +
         differences("status", a.status, b.status) +
         differences("library status", a.library_status, b.library_status) +
         differences("source quality", a.source_quality, b.source_quality) +
         differences("notes", a.note, b.note) + differences("errors", a.error, b.error) +
         differences("logs", a.log, b.log) + differences("streams", a.stream, b.stream);
}

Recoded recode(const uint8_t* data, size_t size, int32_t quality) {
  Recoded r;
  EncodedStream out;
  take_log();
  r.status = recode_memory(data, static_cast<uint32_t>(size), quality, &out);
  r.log = take_log();
  if (r.status == kRecodeOk) r.stream.assign(out.data, out.data + out.length);
  release_stream(out);
  return r;
}

// Qualities from -28 to 227: zero, negative and above 100 included.
int32_t quality_of(const uint8_t* data, size_t size) {
  return size > 0 ? int32_t{data[size - 1]} - 28 : 85;
}

// The two files each input is run after: a 4:2:0 stream from our encoder (64 x 48, quality 40,
// a restart interval of one MCU row), and the same stream without its restart interval under a
// 4:4:4 frame header.
struct Predecessors {
  Bytes first, second;
};

Predecessors make_predecessors() {
  constexpr int32_t kWidth = 64, kHeight = 48;
  Bytes image(kWidth * kHeight * 3 / 2);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
  EncodedStream out;
  if (encode_image_memory(image.data(), kWidth, kHeight, 40, &out) != kRecodeOk)
    fail("setup", "no predecessor");
  Predecessors p;
  p.first.assign(out.data, out.data + out.length);
  release_stream(out);
  take_log();
  // Our encoder writes SOI, then segments with length fields up to SOS.
  const Bytes& s = p.first;
  p.second.assign(s.begin(), s.begin() + 2);
  for (size_t pos = 2; pos + 4 <= s.size() && s[pos] == 0xFF;) {
    const auto at = s.begin() + static_cast<std::ptrdiff_t>(pos);
    if (s[pos + 1] == 0xDA) {
      p.second.insert(p.second.end(), at, s.end());
      break;
    }
    const size_t length = size_t{s[pos + 2]} << 8 | s[pos + 3];
    const size_t copied_at = p.second.size();
    if (s[pos + 1] != 0xDD)
      p.second.insert(p.second.end(), at, at + static_cast<std::ptrdiff_t>(2 + length));
    // SOF0: FF C0, length, precision, height, width, count, then the first component's id and
    // sampling factors (byte 11).
    if (s[pos + 1] == 0xC0) p.second[copied_at + 11] = 0x11;
    pos += 2 + length;
  }
  if (p.second.size() < 100) fail("setup", "the second predecessor was not built");
  return p;
}

const Predecessors& predecessors() {
  static const Predecessors p = make_predecessors();
  return p;
}

// Runs the input after each predecessor and aborts when the results differ.
template <typename Run>
auto after_each_predecessor(const char* entry, const uint8_t* data, size_t size, Run run) {
  const Predecessors& p = predecessors();
  run(p.first.data(), p.first.size());
  auto first = run(data, size);
  run(p.second.data(), p.second.size());
  const auto second = run(data, size);
  fail_on(entry, "the input gives another result after another file: ", differences(first, second));
  return first;
}

// recode_any with the console sink of the scope put back (recode_any restores standard output
// when it returns).
RecodeAnyResult run_any(const uint8_t* data, size_t size, const RecodeAnyOptions& options) {
  RecodeAnyResult r = recode_any(data, size, options);
  set_console_sink(capture, nullptr);
  take_log();
  return r;
}

// parse_header's result, comparable.
struct Parsed {
  bool is_parsed = false;
  JpegHeader header;
};
std::string differences(const Parsed& p, const Parsed& o) {
  const auto segment = [](const HeaderSegment& s) {
    return std::tie(s.marker, s.offset, s.length_bytes);
  };
  const auto frame = [](const FrameInfo& f) {
    return std::tie(f.sof_marker, f.precision_bits, f.width_px, f.height_px, f.components,
                    f.component_id, f.h_samp, f.v_samp, f.adobe_transform);
  };
  const auto tables = [](const JpegHeader& h) {
    return std::tie(h.quant_sum, h.has_quant, h.has_wide_quant);
  };
  const JpegHeader& a = p.header;
  const JpegHeader& b = o.header;
  std::string d = differences("parsed", p.is_parsed, o.is_parsed) +
                  differences("segment counts", static_cast<int32_t>(a.segments.size()),
                              static_cast<int32_t>(b.segments.size())) +
                  differences("scan offsets", static_cast<int32_t>(a.scan_offset),
                              static_cast<int32_t>(b.scan_offset));
  for (size_t i = 0; i < a.segments.size() && i < b.segments.size(); ++i) {
    if (segment(a.segments[i]) != segment(b.segments[i]))
      d += "segment " + std::to_string(i) + "; ";
  }
  if (frame(a.frame) != frame(b.frame)) d += "frames; ";
  if (tables(a) != tables(b)) d += "tables; ";
  return d;
}

Parsed parse(const uint8_t* data, size_t size) {
  Parsed p;
  p.is_parsed = parse_header(data, size, &p.header);
  return p;
}

// The header as the stream without metadata must give it: the same frame but for the Adobe
// transform flag (an APP14 field), the same tables.
Parsed without_metadata_view(const Parsed& p) {
  Parsed v = p;
  v.header.frame.adobe_transform = -1;
  v.header.segments.clear();
  v.header.scan_offset = 0;
  return v;
}

}  // namespace

std::vector<NamedPlan> compared_plans() {
  const auto with = [](bool RecodePlan::*part, int32_t threads) {
    RecodePlan p = reference_plan();
    p.*part = true;
    p.threads = threads;
    return p;
  };
  const auto all = [](bool is_streaming, int32_t threads) {
    RecodePlan p;
    p.is_streaming = is_streaming;
    p.threads = threads;
    return p;
  };
  return {{"fast entropy", with(&RecodePlan::is_fast_entropy, 1)},
          {"direct output", with(&RecodePlan::is_direct_output, 1)},
          {"direct output on two threads", with(&RecodePlan::is_direct_output, 2)},
          {"simd kernels", with(&RecodePlan::is_simd, 1)},
          {"row coder", with(&RecodePlan::is_row_coder, 1)},
          {"row coder on two threads", with(&RecodePlan::is_row_coder, 2)},
          {"one pass", with(&RecodePlan::is_streaming, 1)},
          {"one pass on two threads", with(&RecodePlan::is_streaming, 2)},
          {"every other fast part through the whole image", all(false, 1)},
          {"every other fast part through the whole image on two threads", all(false, 2)},
          {"every fast part in one pass", all(true, 1)},
          {"every fast part in one pass on two threads", all(true, 2)}};
}

int32_t decode_one(const uint8_t* data, size_t size) noexcept {
  if (size > UINT32_MAX) return 0;
  FuzzScope scope;
  return after_each_predecessor("decode_one", data, size, decode).status;
}

int32_t recode_one(const uint8_t* data, size_t size) noexcept {
  if (size > UINT32_MAX) return 0;
  FuzzScope scope;
  if (!library_frame_fits(data, size)) return kFuzzFrameSkipped;
  const int32_t quality = quality_of(data, size);
  const Recoded r = after_each_predecessor(
      "recode_one", data, size,
      [quality](const uint8_t* d, size_t n) { return recode(d, n, quality); });
  if (r.status != kRecodeOk) return r.status;
  const Decoded source = decode(data, size);
  const Decoded again = decode(r.stream.data(), r.stream.size());
  if (source.status != 0 || again.status != 0 || again.width != source.width ||
      again.height != source.height) {
    fail("recode_one", "the source and the recoded stream do not decode at one size: " +
                           differences("widths", source.width, again.width) +
                           differences("heights", source.height, again.height) + source.log +
                           again.log);
  }
  return r.status;
}

int32_t recode_any_one(const uint8_t* data, size_t size) noexcept {
  FuzzScope scope;
  if (size > UINT32_MAX || !library_frame_fits(data, size)) return kFuzzFrameSkipped;
  // The last byte against EOI's D9: a stream that ends as it should runs with the defaults.
  const uint32_t options_byte = size > 0 ? uint32_t{data[size - 1]} ^ 0xD9u : 0;
  RecodeAnyOptions options;
  options.quality = static_cast<int32_t>((options_byte & 63u) * 100 / 63);  // 0 means 85
  options.strict = (options_byte & 0x80u) != 0;
  options.keep_metadata = (options_byte & 0x40u) != 0;
  const RecodeAnyResult r = after_each_predecessor(
      "recode_any_one", data, size,
      [&options](const uint8_t* d, size_t n) { return run_any(d, n, options); });
  // A refusal has a failed status, a reason and no stream; a result the opposite.
  const bool is_refused = r.way == RecodeWay::kRefused;
  if (is_refused != (r.status != kRecodeOk) || is_refused != r.stream.empty() ||
      is_refused == r.error.empty())
    fail("recode_any_one", "way, status, stream and error disagree: " + r.error);
  if (r.way == RecodeWay::kLibrary && r.library_status != kRecodeOk)
    fail("recode_any_one", "library way failed");
  JpegHeader result;
  const bool is_four_components = !is_refused &&
                                  parse_header(r.stream.data(), r.stream.size(), &result) &&
                                  result.frame.components == 4;
  if (is_four_components) {
    // CMYK and YCCK are beyond the library's decoder: libjpeg reads every coefficient back,
    // without a warning of damage, unless memory runs out under the fuzzers' heap limit.
    std::vector<uint8_t> again;
    std::string why;
    const int32_t status = foreign_optimize_huffman(r.stream.data(), r.stream.size(), &again, &why);
    if (status != kRecodeOk && status != kErrNoMemory)
      fail("recode_any_one", "libjpeg does not read the CMYK result: " + why);
  } else if (!is_refused && !options.keep_metadata) {
    const Decoded again = decode(r.stream.data(), r.stream.size());
    // A frame the library read from the stream without metadata may be above the decode cap.
    if (again.status != 0 && again.status != kFuzzFrameSkipped) {
      fail("recode_any_one", "the result does not decode: " + again.log);
    }
  }
  return r.status;
}

int32_t segments_one(const uint8_t* data, size_t size) noexcept {
  FuzzScope scope;
  const Parsed p = after_each_predecessor("segments_one", data, size, parse);
  if (!p.is_parsed) return 0;
  const JpegHeader& h = p.header;
  size_t end = 2;
  for (const HeaderSegment& s : h.segments) {
    if (s.offset < end || s.length_bytes < 4 || s.length_bytes > size - s.offset ||
        data[s.offset] != 0xFF || data[s.offset + 1] != s.marker) {
      fail("segments_one",
           "segment at " + std::to_string(s.offset) + " out of order or outside the input");
    }
    end = s.offset + s.length_bytes;
  }
  if (h.segments.empty() || h.segments.back().marker != 0xDA ||
      h.scan_offset != h.segments.back().offset) {
    fail("segments_one", "the walk does not end at the scan header");
  }
  const int32_t quality = estimate_header_quality(h);
  if (quality < 0 || quality > 100)
    fail("segments_one", "quality estimate " + std::to_string(quality));
  if (is_library_layout(h.frame) != (h.frame.sof_marker == 0xC0 && h.frame.precision_bits == 8 &&
                                     layout_name(h.frame) == "4:2:0")) {
    fail("segments_one", "is_library_layout disagrees with layout_name");
  }
  const Bytes clean = without_app_segments(data, size, h);
  const Parsed c = parse(clean.data(), clean.size());
  fail_on("segments_one", "the stream without metadata reads otherwise: ",
          differences(without_metadata_view(p), without_metadata_view(c)));
  for (const HeaderSegment& s : c.header.segments) {
    if ((s.marker >= 0xE1 && s.marker <= 0xEF) || s.marker == 0xFE)
      fail("segments_one", "metadata left in");
  }
  if (without_app_segments(clean.data(), clean.size(), c.header) != clean) {
    fail("segments_one", "removing metadata twice changes the stream");
  }
  const Bytes metadata = metadata_segments(data, h);
  const Bytes with = insert_after_app0(clean.data(), clean.size(), metadata);
  const Parsed w = parse(with.data(), with.size());
  fail_on("segments_one", "the stream with metadata put back reads otherwise: ",
          differences(without_metadata_view(c), without_metadata_view(w)));
  if (metadata_segments(with.data(), w.header) != metadata)
    fail("segments_one", "metadata put back differs");
  // Tables refitted to a scan are the optimal ones for it: fitting them again changes nothing.
  Bytes fitted, again;
  if (refit_huffman_tables(data, size, &fitted) &&
      (!refit_huffman_tables(fitted.data(), fitted.size(), &again) || again != fitted)) {
    fail("segments_one", "refitting the refitted stream changes it");
  }
  return 1;
}

int32_t code_paths_one(const uint8_t* data, size_t size) noexcept {
  FuzzScope scope;
  if (size > UINT32_MAX || !library_frame_fits(data, size)) return kFuzzFrameSkipped;
  const int32_t quality = quality_of(data, size);
  const auto run = [quality](const uint8_t* d, size_t n) { return recode(d, n, quality); };
  set_recode_plan(reference_plan());
  const Recoded reference = after_each_predecessor("code_paths_one", data, size, run);
  const std::vector<NamedPlan> plans = compared_plans();
  for (size_t i = 0; i < plans.size(); ++i) {
    set_recode_plan(plans[i].plan);
    // Each plan after one of the two predecessors in turn.
    const Bytes& predecessor = i % 2 == 0 ? predecessors().first : predecessors().second;
    run(predecessor.data(), predecessor.size());
    fail_on("code_paths_one", std::string(plans[i].name) + " differs from the reference path: ",
            differences(run(data, size), reference));
  }
  return reference.status;
}

int32_t picture_one(const uint8_t* data, size_t size) noexcept {
  FuzzScope scope;
  if (size > UINT32_MAX || !library_frame_fits(data, size)) return kFuzzFrameSkipped;
  const PictureComparison c = compare_picture(data, size);
  if (!c.is_comparable) return 0;
  if (c.our_status != 0) return c.our_status;
  if (!c.is_same_size) fail("picture_one", "our decode is not libjpeg's size");
  if (c.max_diff > kPictureMaxDiff) {
    fail("picture_one", "our decode differs from libjpeg's by " + std::to_string(c.max_diff) +
                            " in component " + std::to_string(c.worst_component) + " at " +
                            std::to_string(c.worst_x) + ", " + std::to_string(c.worst_y));
  }
  return c.blocks_compared;
}

}  // namespace kestrum::fuzz
