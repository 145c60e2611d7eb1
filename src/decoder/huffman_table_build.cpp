// SPDX-License-Identifier: MIT
// Huffman decoding tables (T.81 C.1, C.2, F.15): maxcode and value offsets, the 8-bit lookahead
// and the fast decoder's combined lookup of symbol and value.
#include <array>

#include "common/jpeg_tables.h"
#include "common/messages.h"
#include "decoder/huffman_decode.h"

namespace kestrum {
namespace {

// Fills fast_ac from the lookahead table and maxcode as decode_symbol decodes: the 8-bit
// lookahead first, else the code grown from 9 bits; with the magnitude bits where they fit.
void build_fast_ac(HuffDecodeTable& t) {
  constexpr uint32_t kBits = static_cast<uint32_t>(kFastAcBits);
  for (uint32_t b = 0; b < (1u << kBits); ++b) {
    uint32_t length = static_cast<uint32_t>(t.lookup_length[b >> (kBits - 8)]);
    uint32_t rs = t.lookup_symbol[b >> (kBits - 8)];
    if (length == 0) {
      length = 9;
      int32_t code = static_cast<int32_t>(b >> (kBits - 9));
      while (code > t.maxcode[length] && length < kBits) {
        ++length;
        code = static_cast<int32_t>(b >> (kBits - length));
      }
      if (code > t.maxcode[length]) {  // longer than the lookahead
        t.fast_ac[b] = 0;
        continue;
      }
      rs = t.values[static_cast<size_t>(t.value_offset[length] + code)];
    }
    uint32_t entry = length | rs << 8;
    const uint32_t size = rs & 15;
    if (size != 0 && length + size <= kBits) {
      int32_t v = static_cast<int32_t>((b >> (kBits - length - size)) & ((1u << size) - 1u));
      if (v < kExtendThreshold[size]) v += kExtendBias[size];
      entry = (length + size) | FastAcEntry::kHasValue | rs << 8 |
              static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16;
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
  if (has_fast_lookup) build_fast_ac(table);
  if (is_dc) {
    for (int32_t i = 0; i < n; ++i) {
      if (values[i] > 15) return msg::kHuffmanDcSymbol;
    }
  }
  return nullptr;
}

}  // namespace kestrum
