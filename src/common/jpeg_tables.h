// SPDX-License-Identifier: MIT
// Tables shared by decoder and encoder: zig-zag order (T.81 Figure A.6), the Annex K example
// quantization tables (Tables K.1, K.2) and Huffman tables (Tables K.3 to K.6), marker codes,
// and the canonical code assignment of T.81 C.1/C.2 used by both sides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrum {

// Marker code bytes (the byte after 0xFF), T.81 Table B.1.
inline constexpr uint8_t kMarkerTem = 0x01;    // temporary use in arithmetic coding, no segment
inline constexpr uint8_t kMarkerSof0 = 0xC0;   // baseline DCT
inline constexpr uint8_t kMarkerSof1 = 0xC1;   // extended sequential DCT, Huffman
inline constexpr uint8_t kMarkerSof2 = 0xC2;   // progressive DCT, Huffman
inline constexpr uint8_t kMarkerDht = 0xC4;    // not a frame header, though in the SOFn range
inline constexpr uint8_t kMarkerJpg = 0xC8;    // reserved for JPEG extensions (SOFn range)
inline constexpr uint8_t kMarkerSof9 = 0xC9;   // extended sequential DCT, arithmetic
inline constexpr uint8_t kMarkerSof10 = 0xCA;  // progressive DCT, arithmetic
inline constexpr uint8_t kMarkerDac = 0xCC;    // arithmetic conditioning (SOFn range)
inline constexpr uint8_t kMarkerSof15 = 0xCF;  // the last of SOF0..SOF15
inline constexpr uint8_t kMarkerRst0 = 0xD0;
inline constexpr uint8_t kMarkerRst7 = 0xD7;
inline constexpr uint8_t kMarkerSoi = 0xD8;
inline constexpr uint8_t kMarkerEoi = 0xD9;
inline constexpr uint8_t kMarkerSos = 0xDA;
inline constexpr uint8_t kMarkerDqt = 0xDB;
inline constexpr uint8_t kMarkerDri = 0xDD;
inline constexpr uint8_t kMarkerApp0 = 0xE0;
inline constexpr uint8_t kMarkerApp1 = 0xE1;
inline constexpr uint8_t kMarkerApp2 = 0xE2;
inline constexpr uint8_t kMarkerApp13 = 0xED;
inline constexpr uint8_t kMarkerApp14 = 0xEE;
inline constexpr uint8_t kMarkerApp15 = 0xEF;
inline constexpr uint8_t kMarkerCom = 0xFE;

// The codings of frame headers (T.81 Table B.1).
enum class FrameCoding : uint8_t {
  kNone,
  kBaseline,               // SOF0
  kExtended,               // SOF1: extended sequential, Huffman
  kProgressive,            // SOF2: progressive, Huffman
  kArithmetic,             // SOF9: extended sequential, arithmetic
  kProgressiveArithmetic,  // SOF10: progressive, arithmetic
  kLosslessOrHierarchical  // SOF3, SOF5..SOF7, SOF11, SOF13..SOF15
};

// The coding of a frame header marker, kNone when the marker is not one (DHT, JPG and DAC sit
// among the SOFn codes).
constexpr FrameCoding frame_coding(uint8_t marker) {
  switch (marker) {
    case kMarkerSof0:
      return FrameCoding::kBaseline;
    case kMarkerSof1:
      return FrameCoding::kExtended;
    case kMarkerSof2:
      return FrameCoding::kProgressive;
    case kMarkerSof9:
      return FrameCoding::kArithmetic;
    case kMarkerSof10:
      return FrameCoding::kProgressiveArithmetic;
    case kMarkerDht:
    case kMarkerJpg:
    case kMarkerDac:
      return FrameCoding::kNone;
    default:
      return marker >= kMarkerSof0 && marker <= kMarkerSof15 ? FrameCoding::kLosslessOrHierarchical
                                                             : FrameCoding::kNone;
  }
}

// clang-format off
// Entry k = natural (row-major) index of the k-th coefficient in zig-zag stream order; entries
// 64..79 are 63 so that a run overshooting the block lands on its last coefficient.
inline constexpr std::array<uint8_t, 80> kZigZagToNatural = {
   0,  1,  8, 16,  9,  2,  3, 10,
  17, 24, 32, 25, 18, 11,  4,  5,
  12, 19, 26, 33, 40, 48, 41, 34,
  27, 20, 13,  6,  7, 14, 21, 28,
  35, 42, 49, 56, 57, 50, 43, 36,
  29, 22, 15, 23, 30, 37, 44, 51,
  58, 59, 52, 45, 38, 31, 39, 46,
  53, 60, 61, 54, 47, 55, 62, 63,
  63, 63, 63, 63, 63, 63, 63, 63,
  63, 63, 63, 63, 63, 63, 63, 63,
};

// Table K.1, luminance quantization, natural order (entry 8*v + u).
inline constexpr std::array<int16_t, 64> kBaseLumaQuant = {
  16, 11, 10, 16,  24,  40,  51,  61,
  12, 12, 14, 19,  26,  58,  60,  55,
  14, 13, 16, 24,  40,  57,  69,  56,
  14, 17, 22, 29,  51,  87,  80,  62,
  18, 22, 37, 56,  68, 109, 103,  77,
  24, 35, 55, 64,  81, 104, 113,  92,
  49, 64, 78, 87, 103, 121, 120, 101,
  72, 92, 95, 98, 112, 100, 103,  99,
};

// Table K.2, chrominance quantization, natural order.
inline constexpr std::array<int16_t, 64> kBaseChromaQuant = {
  17, 18, 24, 47, 99, 99, 99, 99,
  18, 21, 26, 66, 99, 99, 99, 99,
  24, 26, 56, 99, 99, 99, 99, 99,
  47, 66, 99, 99, 99, 99, 99, 99,
  99, 99, 99, 99, 99, 99, 99, 99,
  99, 99, 99, 99, 99, 99, 99, 99,
  99, 99, 99, 99, 99, 99, 99, 99,
  99, 99, 99, 99, 99, 99, 99, 99,
};
// clang-format on

// Natural index -> zig-zag position, computed from kZigZagToNatural.
constexpr std::array<uint8_t, 64> make_natural_to_zigzag() {
  std::array<uint8_t, 64> out{};
  for (uint8_t k = 0; k < 64; ++k) out[kZigZagToNatural[k]] = k;
  return out;
}
inline constexpr std::array<uint8_t, 64> kNaturalToZigZag = make_natural_to_zigzag();
static_assert(kNaturalToZigZag[63] == 63 && kNaturalToZigZag[8] == 2 && kNaturalToZigZag[16] == 3);

// A Huffman table as DHT carries it: BITS (counts of code lengths 1..16) and HUFFVAL.
template <size_t N>
struct HuffTableDef {
  std::array<uint8_t, 16> bits;  // entry L-1 = number of codes of length L
  std::array<uint8_t, N> values;
};

template <size_t N>
constexpr bool bits_match_values(const HuffTableDef<N>& t) {
  size_t sum = 0;
  for (uint8_t b : t.bits) sum += b;
  return sum == N;
}

// clang-format off
// Table K.3, luminance DC differences.
inline constexpr HuffTableDef<12> kLumaDcTable = {
  {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
// Table K.4, chrominance DC differences.
inline constexpr HuffTableDef<12> kChromaDcTable = {
  {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
// Table K.5, luminance AC coefficients (symbol = 16 * run + size).
inline constexpr HuffTableDef<162> kLumaAcTable = {
  {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
  {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
   0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
   0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
   0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
   0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
   0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
   0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
   0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
   0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
   0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
   0xf9, 0xfa}};
// Table K.6, chrominance AC coefficients.
inline constexpr HuffTableDef<162> kChromaAcTable = {
  {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
  {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
   0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
   0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
   0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
   0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
   0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
   0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
   0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
   0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
   0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
   0xf9, 0xfa}};
// clang-format on
static_assert(bits_match_values(kLumaDcTable) && bits_match_values(kChromaDcTable));
static_assert(bits_match_values(kLumaAcTable) && bits_match_values(kChromaAcTable));

// Canonical code assignment (T.81 Figures C.1 and C.2): codes[p] and lengths[p] for the p-th
// symbol of a table whose length counts are bits[0..15] (length L at bits[L-1]). Returns the
// number of codes, or -1 when the counts exceed 256 or a length is over-subscribed.
constexpr int assign_canonical_codes(const uint8_t* bits, uint16_t* codes, uint8_t* lengths) {
  int n = 0;
  for (int len = 1; len <= 16; ++len) {
    const int c = bits[len - 1];
    if (n + c > 256) return -1;
    for (int i = 0; i < c; ++i) lengths[n + i] = static_cast<uint8_t>(len);
    n += c;
  }
  uint32_t code = 0;
  int p = 0;
  int len = n > 0 ? lengths[0] : 0;
  while (p < n) {
    while (p < n && lengths[p] == len) {
      codes[p] = static_cast<uint16_t>(code);
      ++p;
      ++code;
    }
    if (code >= (uint32_t{1} << len)) return -1;  // the next code must still fit
    code <<= 1;
    ++len;
  }
  return n;
}

}  // namespace kestrum
