// SPDX-License-Identifier: MIT
// What each fuzzer does with one input. The fuzzers and the replay test in the normal suite call
// these same functions, so a saved input replays exactly as it ran.
//
// Every entry keeps each input cheap and the same on every run: frames above kFuzzFramePx are
// not decoded (the library's, as its decoder reads the frame header, and libjpeg's), every fast
// part runs, on one thread unless the entry compares thread counts, and single allocations above
// kFuzzAllocationLimit fail as out of memory. Every entry also checks that the input gives the
// same result after two different fixed files (a 4:2:0 stream with a restart interval, and a
// 4:4:4 frame header over it without one): no result may depend on an earlier call. A failed
// check prints what differs and aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/code_path.h"

namespace kestrum::fuzz {

// The largest frame the entries decode, at the size rounded up to 16 (256 x 256). Larger frames
// cost time in proportion and find nothing new.
constexpr uint64_t kFuzzFramePx = 256 * 256;

// Single allocations above this fail (as out of memory) while fuzzing: a second guard for the
// frames the library reads from a stream it rewrote (the libjpeg way's metadata set aside).
constexpr size_t kFuzzAllocationLimit = size_t{8} << 20;

// The status an entry returns for an input whose frame is above kFuzzFramePx (not decoded).
constexpr int32_t kFuzzFrameSkipped = -6;

// Decodes the bytes with our decoder. Returns the decoder's status.
int32_t decode_one(const uint8_t* data, size_t size) noexcept;

// Recodes the bytes at a quality taken from their last byte, then checks that a successful
// recode decodes again, with our decoder, at the source's size. Returns the recode's status.
int32_t recode_one(const uint8_t* data, size_t size) noexcept;

// The tool's choice of way (recode_any; the libjpeg way too where libjpeg is built in), with the
// quality, strict and keep-metadata options taken from the last byte (the defaults where it is
// EOI's D9). Checks that status, way,
// error and stream agree, and that a result without inserted metadata decodes with our decoder.
// Returns the status.
int32_t recode_any_one(const uint8_t* data, size_t size) noexcept;

// The header walk of the tool (parse_header and what is built on it). Checks that segments lie
// inside the input in order, that the stream without its APP1..APP15 and COM segments parses to
// the same frame and tables and is its own such stream, and that the metadata segments inserted
// after its APP0 parse back, and that a stream whose Huffman tables were refitted refits to
// itself. Returns 1 when the header parsed, else 0.
int32_t segments_one(const uint8_t* data, size_t size) noexcept;

// A plan the fast paths run under, by name.
struct NamedPlan {
  const char* name;
  RecodePlan plan;
};
// The plans compared with the reference plan: each fast part alone (the threaded ones on two
// threads as well), and every other fast part through the whole image and every fast part in one
// pass, each on one and on two threads.
std::vector<NamedPlan> compared_plans();

// Recodes the bytes by the reference path and by each of compared_plans, and checks that status,
// stream and console log are the same. Returns the recode's status.
int32_t code_paths_one(const uint8_t* data, size_t size) noexcept;

// Our decoder's planes against libjpeg's (raw data, accurate integer transform) where libjpeg
// reads the input without a warning as an 8-bit sequential Huffman-coded 4:2:0 YCbCr frame and
// we decode it: the same size, and every sample of every block whose coefficients keep libjpeg's
// range limit from wrapping within kPictureMaxDiff. Returns the blocks compared, 0 when libjpeg
// does not read the input so, or our decoder's status when it refuses it.
int32_t picture_one(const uint8_t* data, size_t size) noexcept;

// The largest sample difference between our decoder and libjpeg's accurate integer transform
// that picture_one accepts. Real photos and libjpeg's own files differ by at most 1 or 2 (the
// modelled hardware's 12-bit constants and its rounding); another picture differs by tens.
constexpr int kPictureMaxDiff = 2;

struct PictureComparison {
  bool is_comparable = false;  // libjpeg read the input cleanly as the library's kind of frame
  int32_t our_status = 0;
  bool is_same_size = false;
  int blocks_compared = 0, blocks_skipped = 0;
  int max_diff = 0;
  int worst_component = 0, worst_x = 0, worst_y = 0;  // where max_diff was met first
};
// The comparison of picture_one without its check, for frames up to max_frame_px (by the
// requested plan).
PictureComparison compare_picture(const uint8_t* data, size_t size,
                                  uint64_t max_frame_px = kFuzzFramePx) noexcept;

}  // namespace kestrum::fuzz
