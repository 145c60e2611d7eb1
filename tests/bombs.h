// SPDX-License-Identifier: MIT
// Hostile files built in code: small valid streams whose frame headers claim huge frames, streams
// of many scans, and long runs of bytes that are no JPEG at all (zeros, FF fill, marker pairs).
#pragma once

#include <cstdint>

#include "test_util.h"

namespace kestrum::test {

// A 16 x 16 source written by libjpeg with options, every frame header then claiming width x
// height: the entropy data runs out after the first MCUs (decoders go on with zero bits).
Bytes claimed_frame(const JpegOptions& options, int width, int height);

// A progressive source (64 x 64, 4:2:0) claiming width x height whose last scan is repeated until
// the stream holds scans scans.
Bytes many_scans(int scans, int width, int height);

// SOI, then count times the two bytes a, b, then EOI.
Bytes soi_and_pairs(uint8_t a, uint8_t b, size_t count);

}  // namespace kestrum::test
