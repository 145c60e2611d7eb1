// SPDX-License-Identifier: MIT
// Huffman decoding tables (T.81 C.1, C.2, F.15): maxcode and value offsets, the 8-bit lookahead
// and the fast decoder's combined lookup of symbol and value.
#include <array>

#include "common/jpeg_tables.h"
#include "common/messages.h"
#include "decoder/huffman_decode.h"

namespace kestrum {
namespace {

// The symbol whose code starts a kFastAcBits-bit pattern of which only the top known bits are
// data, as decode_symbol decodes it: the 8-bit lookahead first, else the code grown from 9 bits.
// Length 0 when those bits do not hold the whole code.
struct Prefix {
  uint32_t length;
  uint32_t rs;
};
Prefix decode_prefix(const HuffDecodeTable& t, uint32_t b, uint32_t known) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  uint32_t length = static_cast<uint32_t>(t.lookup_length[b >> (kBits - 8)]);
  if (length != 0) {
    if (length > known) return {0, 0};
    return {length, t.lookup_symbol[b >> (kBits - 8)]};
  }
  length = 9;
  int32_t code = static_cast<int32_t>(b >> (kBits - 9));
  while (code > t.maxcode[length] && length < known) {
    ++length;
    code = static_cast<int32_t>(b >> (kBits - length));
  }
  if (length > known || code > t.maxcode[length]) return {0, 0};
  return {length, t.values[static_cast<size_t>(t.value_offset[length] + code)]};
}

// The coefficient of size bits (1..15) at the top of a kFastAcBits-bit pattern after used bits.
int32_t magnitude_value(uint32_t b, uint32_t used, uint32_t size) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  int32_t v = static_cast<int32_t>((b >> (kBits - used - size)) & ((1u << size) - 1u));
  if (v < kExtendThreshold[size]) v += kExtendBias[size];
  return v;
}

// Whether v fits an entry's int8 value field.
bool fits_int8(int32_t v) { return v >= -127 && v <= 127; }

// A pair entry for the AC pattern b whose first symbol, with its value v1 (within int8), takes
// used bits: where the bits left hold a second symbol with its value within int8 (or an end of
// block); 0 otherwise.
uint32_t pair_entry(const HuffDecodeTable& t, uint32_t b, uint32_t used, uint32_t rs1, int32_t v1) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  if (used >= kBits) return 0;
  const Prefix second = decode_prefix(t, (b << used) & ((1u << kBits) - 1u), kBits - used);
  if (second.length == 0) return 0;
  const uint32_t size = second.rs & 15;
  int32_t v2 = 0;  // an end of block
  if (size != 0) {
    if (used + second.length + size > kBits) return 0;
    v2 = magnitude_value(b, used + second.length, size);
    if (!fits_int8(v2)) return 0;
  } else if (second.rs != 0) {
    return 0;  // ZRL, or a symbol of no value that no decoder expects
  }
  return (used + second.length + size) | FastAcEntry::kPair | FastAcEntry::kHasValue |
         (rs1 >> 4) << 12 | (second.rs >> 4) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(v1)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(v2)) << 24;
}

// Fills fast_ac: what the next kFastAcBits bits decode to, with the magnitude bits where they fit,
// and for an AC table the symbol after it too where it fits as well.
void build_fast_ac(HuffDecodeTable& t, bool is_dc) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  for (uint32_t b = 0; b < (1u << kBits); ++b) {
    const Prefix first = decode_prefix(t, b, kBits);
    if (first.length == 0) {  // longer than the lookahead
      t.fast_ac[b] = 0;
      continue;
    }
    uint32_t entry = first.length | first.rs << 8;
    const uint32_t size = first.rs & 15;
    if (size != 0 && first.length + size <= kBits) {
      const int32_t v = magnitude_value(b, first.length, size);
      const uint32_t length = first.length + size;
      if (is_dc) {
        entry = length | FastAcEntry::kHasValue | first.rs << 8 |
                static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16;
      } else if (fits_int8(v)) {
        // Two symbols where they fit, else one as a pair whose second is the first again, at the
        // same place.
        const auto byte = static_cast<uint32_t>(static_cast<uint8_t>(v));
        const uint32_t pair = pair_entry(t, b, length, first.rs, v);
        entry = pair != 0 ? pair
                          : length | FastAcEntry::kHasValue | (first.rs >> 4) << 12 | byte << 16 |
                                byte << 24;
      }  // else: a value beyond int8 is read from the bits after the code
    }
    t.fast_ac[b] = entry;
  }
}

}  // namespace

const char* build_decode_table(const uint8_t* bits, const uint8_t* values, bool is_dc,
                               bool has_fast_lookup, HuffDecodeTable& table) noexcept {
  std::array<uint16_t, 256> codes{};
  std::array<uint8_t, 256> lengths{};
  uint32_t total = 0;
  for (uint32_t len = 1; len <= 16; ++len) total += bits[len];
  if (total > 256) return msg::kHuffmanTooMany;
  if (assign_canonical_codes(bits + 1, codes.data(), lengths.data()) < 0)
    return msg::kHuffmanOversubscribed;
  const int32_t n = static_cast<int32_t>(total);
  int32_t p = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    if (bits[len] != 0) {
      table.value_offset[len] = p - codes[static_cast<size_t>(p)];
      p += bits[len];
      table.maxcode[len] = codes[static_cast<size_t>(p - 1)];
    } else {
      table.maxcode[len] = -1;
    }
  }
  table.maxcode[17] = 0xFFFFF;
  table.lookup_length.fill(0);
  for (int32_t i = 0; i < n && lengths[static_cast<size_t>(i)] <= 8; ++i) {
    const uint32_t len = lengths[static_cast<size_t>(i)];
    const uint32_t first = static_cast<uint32_t>(codes[static_cast<size_t>(i)]) << (8 - len);
    for (uint32_t k = 0; k < (1u << (8 - len)); ++k) {
      table.lookup_length[first + k] = static_cast<int32_t>(len);
      table.lookup_symbol[first + k] = values[i];
    }
  }
  table.values = values;
  if (has_fast_lookup) build_fast_ac(table, is_dc);
  if (is_dc) {
    for (int32_t i = 0; i < n; ++i) {
      if (values[i] > 15) return msg::kHuffmanDcSymbol;
    }
  }
  return nullptr;
}

}  // namespace kestrum
