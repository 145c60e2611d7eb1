// SPDX-License-Identifier: MIT
// Decoding the layouts and codings the library refuses, through libjpeg, into the library's
// PlanarYuv420Image, and recoding CMYK and YCCK streams with libjpeg alone. Built from
// libjpeg_decode.cpp when libjpeg is found, else from libjpeg_absent.cpp (every call then reports
// that libjpeg is not built in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder/decoder_state.h"

namespace kestrum {

struct Planar420 {
  std::vector<uint8_t> planes;  // PlanarYuv420Image: Y, Cb, Cr at the size rounded up to 16
  int32_t width_px = 0, height_px = 0;
};

// The largest frame the libjpeg way takes, counted as the luma plane at the size rounded up to
// 16 x 16: the library's decoder holds at most kPlaneCapacityBytes per plane, so no file the
// library would refuse as too large is decoded by libjpeg instead. 14176 x 14176 is the largest
// square frame.
inline constexpr uint64_t kForeignFrameLimitPx = kPlaneCapacityBytes;

// The memory libjpeg may use for one decode (cinfo.mem->max_memory_to_use). Multi-scan streams
// (progressive, and sequential ones with a scan per component) keep every coefficient of the
// frame, 2 bytes per sample: 3 bytes per pixel at 4:2:0 and 6 at 4:4:4. 768 MiB takes a 4:2:0
// progressive frame at kForeignFrameLimitPx and a 4:4:4 one of 128 megapixels. libjpeg's memory
// manager without backing store fails the decode (JERR_NO_BACKING_STORE) where its whole-image
// buffers would not fit; its other buffers are a few rows each.
inline constexpr long kForeignMemoryBytes = 768L << 20;

// Scans a stream may have before the libjpeg way refuses it: each scan of a progressive stream
// walks the whole frame, so a file of many empty scans costs frames of work for a few bytes
// each. Encoders write about 10 (libjpeg's default progression) and rarely more than 20.
inline constexpr int kForeignMaxScans = 100;

// True when this build decodes through libjpeg.
bool has_foreign_decoder() noexcept;

// True when libjpeg reads the stream's headers (up to the first scan) without an error.
bool foreign_reads_header(const uint8_t* data, size_t size) noexcept;

// Decodes with libjpeg (accurate integer IDCT) to YCbCr without colour conversion (RGB-coded
// streams are converted by the JFIF equations), then brings chroma to 4:2:0: each 4:2:0 sample is
// the mean of the source chroma samples its 2x2 luma area covers, weighted by coverage (libjpeg
// upsamples by replication, so the mean of the 2x2 replicated samples is that area mean),
// rounded half up. Greyscale gets neutral chroma (128). The last column and row are repeated up
// to the planes' size. Returns 0, or with error set: -2 (RecodeStatus kErrCorruptStream) when
// libjpeg fails or is not built in or the stream has more than kForeignMaxScans scans, -6
// (kErrFrameTooLarge) for a frame above the frame limit or one whose buffers exceed
// kForeignMemoryBytes, -16 (kErrNoMemory) when an allocation fails. Throws nothing. When
// corrupt_data is given, it receives libjpeg's first warning of corrupt data it decoded past
// ("Corrupt JPEG data: 718 extraneous bytes before marker 0xda"), or "" for sound data.
// Reads: the frame limit.
int32_t foreign_decode_420(const uint8_t* data, size_t size, Planar420* out, std::string* error,
                           std::string* corrupt_data = nullptr) noexcept;

// The stream with Huffman tables fitted to its own coefficients (libjpeg's lossless transcode with
// optimize_coding): the same quantization tables, coefficients and restart interval, so the same
// decoded pixels; every APPn and COM segment is written back in its order, after SOI. Returns 0
// with the stream in out, or with error set -2 when libjpeg fails or warns of damage (a damaged
// stream's coefficients are libjpeg's guess), -6 when its coefficients need more than
// kForeignMemoryBytes, -16 when an allocation fails. Throws nothing.
int32_t foreign_optimize_huffman(const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                                 std::string* error) noexcept;

// Recodes a 4-component stream through libjpeg in its own colour space: decoded to CMYK or YCCK as
// coded (no colour conversion, so Adobe's inverted CMYK stays inverted; subsampled components
// replicated, which libjpeg's encoder averages back to the same samples), encoded one scanline
// after the other with the source's sampling factors, Tables K.1 (components 0 and 3 of YCCK,
// all of CMYK) and K.2 scaled at quality (1..100) by the library's rule, Annex K Huffman tables,
// libjpeg's Adobe APP14 segment (transform 0 or 2) and no JFIF. The frame limit, memory limit and
// scan count are those of foreign_decode_420. Returns 0 with the stream in out and is_ycck set,
// or with error set: -1 (kErrSource) when the frame is not CMYK or YCCK, -2 when libjpeg fails
// or is not built in, -6 for a frame above the limit or beyond kForeignMemoryBytes, -16 when an
// allocation fails. corrupt_data as for foreign_decode_420. Throws nothing.
// Reads: the frame limit.
int32_t foreign_recode_cmyk(const uint8_t* data, size_t size, int32_t quality,
                            std::vector<uint8_t>* out, bool* is_ycck, std::string* error,
                            std::string* corrupt_data) noexcept;

// Test and fuzzing hook: frames above frame_px (counted as for kForeignFrameLimitPx) are refused
// from now on; 0 restores kForeignFrameLimitPx. Values above it are taken as it.
// Writes: the frame limit.
void set_foreign_frame_limit_px(uint64_t frame_px) noexcept;

}  // namespace kestrum
