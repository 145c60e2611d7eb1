// SPDX-License-Identifier: MIT
// The four ways of recode_any (see recode_any.h): the library's recode, the same without
// metadata segments, libjpeg decode with our encoder, or a named refusal.
#include "kestrum/recode_any.h"

#include <algorithm>

#include "api/pipeline.h"
#include "common/jpeg_tables.h"
#include "encoder/quality.h"
#include "platform/console_log.h"
#include "recode_any/foreign_decode.h"
#include "recode_any/huffman_refit.h"
#include "recode_any/jpeg_segments.h"

namespace kestrum {
namespace {

// The console target of the library's calls: called from its noexcept code, so it must not
// throw. Without memory for more log the text is lost and the recode goes on.
void append_log(const char* text, void* result) noexcept {
  try {
    static_cast<RecodeAnyResult*>(result)->log += text;
  } catch (...) {
  }
}

// Takes the library's stream into the result.
void take_stream(EncodedStream& stream, RecodeAnyResult* r) {
  r->stream.assign(stream.data, stream.data + stream.length);
  release_stream(stream);
}

int32_t library_recode(const uint8_t* data, size_t size, int32_t quality, RecodeAnyResult* r) {
  if (size > UINT32_MAX) return kErrSourceMemory;
  EncodedStream stream;
  DecodeDamage damage;
  const int32_t status = recode_memory(data, static_cast<uint32_t>(size), quality, &stream,
                                       ConsoleTarget{append_log, r}, &damage);
  if (status == kRecodeOk) {
    take_stream(stream, r);
    if (damage.first_starved_row != DecodeDamage::kNoRow) {
      r->damage.data_end_percent =
          static_cast<int32_t>(uint64_t{damage.first_starved_row} * 100 / damage.mcu_rows);
      r->damage.has_data_resumed = damage.has_data_resumed;
    }
    r->damage.bad_codes = damage.bad_codes;
    r->damage.restart_errors = damage.restart_errors;
    r->damage.has_no_eoi = damage.has_no_eoi;
  }
  return status;
}

// The coding of a frame the library does not take, or null for the codings libjpeg cannot read.
const char* coding_name(uint8_t sof_marker) {
  switch (frame_coding(sof_marker)) {
    case FrameCoding::kBaseline:
      return "";
    case FrameCoding::kExtended:
      return "extended sequential";
    case FrameCoding::kProgressive:
      return "progressive";
    case FrameCoding::kArithmetic:
      return "arithmetic";
    case FrameCoding::kProgressiveArithmetic:
      return "progressive arithmetic";
    case FrameCoding::kNone:
    case FrameCoding::kLosslessOrHierarchical:
      return nullptr;
  }
  return nullptr;
}

// Why way 3 cannot take the frame, or an empty text when it can.
std::string foreign_refusal(const FrameInfo& f) {
  if (f.precision_bits != 8)
    return std::to_string(f.precision_bits) + "-bit samples are not recoded";
  if (coding_name(f.sof_marker) == nullptr) return "lossless or hierarchical coding is not recoded";
  if (f.components != 1 && f.components != 3 && f.components != 4)
    return std::to_string(f.components) + " components are not recoded";
  return "";
}

// "progressive, 4:2:2 → 4:2:0", "greyscale → 4:2:0", "arithmetic", "RGB", "16-bit tables".
std::string conversion_note(const JpegHeader& header) {
  const FrameInfo& f = header.frame;
  std::string note = coding_name(f.sof_marker);
  if (is_rgb_coded(f)) note += note.empty() ? "RGB" : ", RGB";
  if (header.has_wide_quant) note += note.empty() ? "16-bit tables" : ", 16-bit tables";
  const std::string layout = layout_name(f);
  if (layout != "4:2:0") note += (note.empty() ? "" : ", ") + layout + " \u2192 4:2:0";
  return note.empty() ? "decoded by libjpeg" : note;
}

void refuse(RecodeAnyResult* r, int32_t status, std::string why) {
  r->way = RecodeWay::kRefused;
  r->status = status;
  r->error = std::move(why);
  r->stream.clear();
}

std::string library_refusal(int32_t status) {
  // The number is the caller's to show (kestrum-recode shows it with -v): status holds it.
  return std::string("the library refuses it: ") + library_status_name(status);
}

// Way 3: libjpeg decode, our encoder at the library's effective quality.
void convert(const uint8_t* data, size_t size, const JpegHeader& header, int32_t quality,
             RecodeAnyResult* r) {
  Planar420 image;
  std::string error;
  std::string corrupt_data;
  const int32_t decoded = foreign_decode_420(data, size, &image, &error, &corrupt_data);
  if (decoded != kRecodeOk) return refuse(r, decoded, error);
  // An estimate of 0 (tables no quality's, or none) leaves the request as it is.
  const int32_t effective = quality_used(quality, r->source_quality);
  EncodedStream stream;
  const int32_t status = encode_image_memory(image.planes.data(), image.width_px, image.height_px,
                                             effective, &stream, ConsoleTarget{append_log, r});
  if (status != kRecodeOk) return refuse(r, status, library_refusal(status));
  take_stream(stream, r);
  r->way = RecodeWay::kConverted;
  r->status = kRecodeOk;
  r->note = conversion_note(header);
  // libjpeg's decode: its warnings of corrupt data, and (below) the end-of-image marker.
  r->damage = RecodeDamage{};
  r->damage.corrupt_data = std::move(corrupt_data);
}

// Way 3 for CMYK and YCCK: libjpeg decodes and encodes in the source's colour space.
void convert_cmyk(const uint8_t* data, size_t size, const JpegHeader& header, int32_t quality,
                  RecodeAnyResult* r) {
  std::vector<uint8_t> stream;
  bool is_ycck = false;
  std::string error;
  std::string corrupt_data;
  const int32_t status = foreign_recode_cmyk(data, size, quality_used(quality, r->source_quality),
                                             &stream, &is_ycck, &error, &corrupt_data);
  if (status != kRecodeOk) return refuse(r, status, error);
  r->stream.swap(stream);
  r->way = RecodeWay::kConverted;
  r->status = kRecodeOk;
  const std::string coding = coding_name(header.frame.sof_marker);
  r->note = (coding.empty() ? "" : coding + ", ") + (is_ycck ? "YCCK" : "CMYK");
  r->damage = RecodeDamage{};
  r->damage.corrupt_data = std::move(corrupt_data);
}

// "YCCK" when the Adobe segment says transform 2 (libjpeg's reading), else "CMYK".
const char* four_component_name(const FrameInfo& f) {
  return f.adobe_transform == 2 ? "YCCK" : "CMYK";
}

void recode_locked(const uint8_t* data, size_t size, const RecodeAnyOptions& options,
                   RecodeAnyResult* r) {
  int32_t quality = options.quality == 0 ? kDefaultQuality : options.quality;
  JpegHeader header;
  const bool is_parsed = parse_header(data, size, &header);
  if (is_parsed) r->source_quality = estimate_header_quality(header);
  if (options.target_quality > 0) {
    // The request that the estimate's distance from 100 lowers to the target.
    quality = request_for(options.target_quality, r->source_quality);
  }
  r->quality_used = quality_used(quality, r->source_quality);
  // The library's decoder takes any frame header after a message and reads the first scan as
  // 8-bit baseline Huffman data with 8-bit tables: for progressive, arithmetic, extended and
  // 16-bit-table streams a "successful" recode is the wrong image. Outside --strict those go
  // straight to libjpeg (or are refused), as do samples of other than 8 bits and RGB-coded
  // frames (which the library would take for YCbCr: the colours would come out wrong) and
  // 4-component ones (CMYK and YCCK, recoded in their own colour space).
  const bool is_faithful =
      !is_parsed || (frame_coding(header.frame.sof_marker) == FrameCoding::kBaseline &&
                     header.frame.precision_bits == 8 && !header.has_wide_quant &&
                     !is_rgb_coded(header.frame) && header.frame.components != 4);
  if (options.strict || is_faithful) {
    r->library_status = library_recode(data, size, quality, r);
    r->status = r->library_status;
    if (r->library_status == kRecodeOk) {
      r->way = RecodeWay::kLibrary;
      // A header our walk could not follow (a length field the library's rules pass over):
      // the quality used is read back from the result's own tables, which are scaled at it.
      JpegHeader result;
      if (!is_parsed && parse_header(r->stream.data(), r->stream.size(), &result))
        r->quality_used = estimate_header_quality(result);
      return;
    }
    const bool may_retry = r->library_status >= kErrTrailer;  // -1..-4: the source, not resources
    if (options.strict || !may_retry)
      return refuse(r, r->library_status, library_refusal(r->library_status));
    if (!is_parsed) {
      return refuse(
          r, r->library_status,
          std::string("not a well-formed JPEG (") + library_status_name(r->library_status) + ")");
    }
  } else {
    r->library_status = kErrSource;  // not tried: refused by its coding
  }
  const std::string why_not = foreign_refusal(header.frame);
  if (!why_not.empty()) return refuse(r, kErrSource, why_not);
  const bool has_libjpeg = has_foreign_decoder();
  if (r->library_status == kErrCorruptStream && is_library_layout(header.frame) &&
      (!has_libjpeg || foreign_reads_header(data, size))) {
    const std::vector<uint8_t> clean = without_app_segments(data, size, header);
    if (library_recode(clean.data(), clean.size(), quality, r) == kRecodeOk) {
      r->way = RecodeWay::kMetadataSetAside;
      r->status = kRecodeOk;
      r->note = options.keep_metadata ? "read past its metadata, which is carried over"
                                      : "read past its metadata";
      return;
    }
  }
  if (header.frame.components == 4) {
    if (!has_libjpeg) {
      return refuse(r, kErrSource,
                    std::string(four_component_name(header.frame)) +
                        " colour needs libjpeg, which this build lacks");
    }
    return convert_cmyk(data, size, header, quality, r);
  }
  if (!has_libjpeg) {
    return refuse(r, r->library_status,
                  library_refusal(r->library_status) + "; " + layout_name(header.frame) +
                      " needs libjpeg, which this build lacks");
  }
  convert(data, size, header, quality, r);
}

// The result with Huffman tables fitted to its coefficients, when that is smaller; the Annex K
// tables stay otherwise. Our own streams are refitted symbol by symbol; any other goes through
// libjpeg's transcode when it is built in. The same coefficients: the same pixels.
void fit_tables(RecodeAnyResult* r) {
  std::vector<uint8_t> fitted;
  std::string error;
  if (!refit_huffman_tables(r->stream.data(), r->stream.size(), &fitted) &&
      (!has_foreign_decoder() ||
       foreign_optimize_huffman(r->stream.data(), r->stream.size(), &fitted, &error) != kRecodeOk))
    return;
  if (fitted.size() >= r->stream.size()) return;
  r->stream.swap(fitted);
  r->has_fitted_tables = true;
}

void recode_with_metadata(const uint8_t* data, size_t size, const RecodeAnyOptions& options,
                          RecodeAnyResult* r) {
  recode_locked(data, size, options, r);
  if (r->stream.empty()) {
    r->quality_used = 0;
    r->damage = RecodeDamage{};
    return;
  }
  if (!options.exact) fit_tables(r);
  JpegHeader source_header;
  if (parse_header(data, size, &source_header)) {
    const size_t end = find_image_end(data, size, source_header);
    r->damage.has_no_eoi = end == 0;
    r->damage.bytes_after_eoi = end == 0 ? 0 : size - end;
  } else {
    r->damage.is_end_unknown = true;  // nor can the metadata be carried over
  }
  if (options.keep_metadata && !source_header.segments.empty()) {
    const std::vector<uint8_t> metadata = metadata_segments(data, source_header);
    if (!metadata.empty())
      r->stream = insert_after_app0(r->stream.data(), r->stream.size(), metadata);
  }
}

}  // namespace

RecodeAnyResult recode_any(const uint8_t* data, size_t size,
                           const RecodeAnyOptions& options) noexcept {
  RecodeAnyResult r;
  try {
    recode_with_metadata(data, size, options, &r);
  } catch (...) {
    // Out of memory in our own buffers (copies of the source without its metadata, the result):
    // the file is refused, the caller goes on. The text fits the string without allocating.
    refuse(&r, kErrNoMemory, "no memory");
  }
  return r;
}

std::string describe_damage(const RecodeDamage& d) {
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  if (d.data_end_percent >= 0) {
    add(d.has_data_resumed ? "data missing from " + std::to_string(d.data_end_percent) +
                                 " % of the image on (grey)"
                           : "data ends at " + std::to_string(d.data_end_percent) +
                                 " % of the image; the rest is grey");
  }
  if (d.bad_codes > 0)
    add(std::to_string(d.bad_codes) + (d.bad_codes == 1 ? " code" : " codes") +
        " matched no Huffman code");
  if (d.restart_errors > 0) {
    add(std::to_string(d.restart_errors) +
        (d.restart_errors == 1 ? " restart marker" : " restart markers") +
        " missing or out of order");
  }
  if (!d.corrupt_data.empty()) add("libjpeg: " + d.corrupt_data);
  if (d.has_no_eoi && d.data_end_percent < 0)
    add("no end-of-image marker: the file may be cut short");
  return text;
}

bool recode_any_has_libjpeg() noexcept { return has_foreign_decoder(); }

const char* library_status_name(int32_t status) noexcept {
  switch (status) {
    case kRecodeOk:
      return "success";
    case kErrSource:
      return "unreadable, or not 4:2:0";
    case kErrCorruptStream:
      return "malformed stream";
    case kErrRowStatus:
    case kErrTrailer:
      return "decoder guard";
    case kErrSourceMemory:
      return "no memory for the source";
    case kErrFrameTooLarge:
      return "frame too large";
    case kErrEncoderInit:
    case kErrEncoder:
      return "encoder failed";
    case kErrCreateOutput:
      return "cannot create the output";
    case kErrWriteOutput:
      return "cannot write the output";
    case kErrNoMemory:
      return "no memory for the encoder";
    default:
      return "unknown status";
  }
}

}  // namespace kestrum
