// SPDX-License-Identifier: MIT
// recode_any: what kestrum-recode does with one JPEG, for any program that links the static
// libraries kestrum_recode_any and kestrum_core (nothing here is exported by kestrumEx).
//
// The ways a file can take, tried in this order:
//   1. The library's own recode (recode_memory): the bytes jpg_recode_api writes. Tried for
//      baseline (SOF0) 8-bit streams with 8-bit tables; the library would read other codings'
//      first scan as baseline data and write a wrong image (with strict it is tried for all).
//   2. The library refused the file with -2 although it is a well-formed JPEG of the library's
//      layout (SOF0, 8-bit, 4:2:0): its segment skipping and SOI counting mistake bytes inside
//      EXIF or maker-note data for markers. The stream is recoded again the same way with its
//      APP1..APP15 and COM segments set aside.
//   3. Another layout or coding (4:2:2, 4:4:4, 4:4:0, 4:1:1, greyscale, progressive, arithmetic,
//      extended sequential), or way 2 failed: decoded by libjpeg (see foreign_decode.h), and
//      encoded by our encoder at the quality the library would use: the request lowered by the
//      distance from 100 of the quality estimated from the source's own tables. CMYK and YCCK
//      sources (Adobe transform 0 or none, and 2) are decoded and encoded by libjpeg in their own
//      colour space at that quality (no colour conversion: Adobe's inverted CMYK stays so), with
//      the source's sampling factors and libjpeg's Adobe segment; the note says "CMYK" or "YCCK".
//   4. Samples of other than 8 bits, lossless or hierarchical coding, and streams libjpeg
//      cannot read either: refused, with the reason in error. So are, for way 3,
//      frames the library's decoder could not hold either (over 0xC000000 pixels at the size
//      rounded up to 16, e.g. above 14176 x 14176), streams of more than 100 scans, and streams
//      whose libjpeg buffers would exceed 768 MiB (a progressive 4:4:4 frame above 128 megapixels).
// A request of 1..100 never encodes above the source's estimated quality. Unless exact is set, the
// result of every way then gets Huffman tables fitted to its own coefficients, when that is
// smaller: its scan is coded again symbol by symbol (with or without libjpeg), giving the tables
// and scan of libjpeg's lossless transcode; the same decoded pixels, restart markers and segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

enum class RecodeWay : int32_t {
  kLibrary = 1,           // the library's own recode
  kMetadataSetAside = 2,  // recoded by the library without its APP1..APP15 and COM segments
  kConverted = 3,         // decoded by libjpeg, chroma brought to 4:2:0, encoded by our encoder
                          // (CMYK and YCCK: encoded by libjpeg in their own colour space)
  kRefused = 4,           // not recoded; error says why
};

struct RecodeAnyOptions {
  int32_t quality = 85;        // the request, 1..100 (0 means 85 as in the library)
  int32_t target_quality = 0;  // 1..100: encode at exactly this, or the source's estimate when
                               // that is lower (the request is then not used); 0 = quality's rule
  bool strict = false;         // way 1 only: the library's exact behaviour
  bool keep_metadata =
      false;  // insert the source's APP1..APP15 and COM segments (not Adobe's nor MPF's) after APP0
  bool exact = false;  // keep the library's Annex K Huffman tables (way 1 then gives the bytes of
                       // jpg_recode_api); otherwise the tables are fitted to the result
};

// What the decode met in a damaged source. The result is still made, with grey where data was
// missing. Data after the image's EOI is not damage (phones append videos there); it is counted
// because it is not carried over.
struct RecodeDamage {
  int32_t data_end_percent = -1;  // 0..99: the coded data ran out at this share of the image's
                                  // rows, the rest is grey; -1 when it did not run out
  bool has_data_resumed = false;  // data was found again after that (at a restart marker)
  uint32_t bad_codes = 0;         // codes that matched no Huffman code
  uint32_t restart_errors = 0;    // restart markers missing or out of order
  bool has_no_eoi = false;        // the data ends without an end-of-image marker
  uint64_t bytes_after_eoi = 0;   // data after the end-of-image marker, not carried over
  std::string corrupt_data;       // libjpeg's first warning of corrupt data it went past, or ""
  bool is_end_unknown = false;    // the header could not be walked, so neither where the image
                                  // ends nor what follows it is known (not damage in itself)

  bool is_damaged() const {
    return data_end_percent >= 0 || bad_codes != 0 || restart_errors != 0 || has_no_eoi ||
           !corrupt_data.empty();
  }
};

// "data ends at 47 % of the image; the rest is grey", parts joined by "; "; empty when sound.
std::string describe_damage(const RecodeDamage& damage);

struct RecodeAnyResult {
  RecodeWay way = RecodeWay::kRefused;
  int32_t library_status = 0;  // status of the library's own attempt (0 when way 1 succeeded, -1
                               // when its coding kept it from the library)
  int32_t status = 0;          // 0 when recoded, else the failing step's library status, or -1
  int32_t source_quality = 0;  // estimated quality of the source 1..100, 0 when unknown
  int32_t quality_used = 0;    // quality the result's tables were scaled at 1..100, 0 when refused
  bool has_fitted_tables = false;  // the result's Huffman tables are fitted to its coefficients
  RecodeDamage damage;  // what the decode met (ways 1 and 2: the library's decoder; way 3:
                        // the end-of-image marker only)
  std::string note;     // what differs from way 1: "read past its metadata", "4:2:2 → 4:2:0", ...
  std::string error;    // why the file was not recoded (way 4)
  std::string log;      // the library's console log of every attempt
  std::vector<uint8_t> stream;  // the recoded JPEG (ways 1 to 3)
};

// Recodes the JPEG in data[0, size). Calls may come from several threads: the library's decode
// and encode steps take its recode lock one at a time, each with its console log captured into
// this call's result, while libjpeg decodes run side by side.
// Throws nothing: a file that needs more memory than there is is refused (status -16, or -6 for
// a frame beyond the decoders' capacity).
RecodeAnyResult recode_any(const uint8_t* data, size_t size,
                           const RecodeAnyOptions& options) noexcept;

// True when way 3 is built in (libjpeg was found at build time).
bool recode_any_has_libjpeg() noexcept;

// A short name of a library status code ("malformed stream" for -2).
const char* library_status_name(int32_t status) noexcept;

}  // namespace kestrum
