// SPDX-License-Identifier: MIT
#include "recode_any/huffman_refit.h"

#include <algorithm>

#include "common/byte_pairs.h"
#include "recode_any/jpeg_segments.h"

namespace kestrum {
namespace {

constexpr int kLookBits = 11;               // codes this long or shorter are found in one look-up
constexpr uint64_t kMaxCount = 1000000000;  // libjpeg's search starts below this count

// The codes of a table in canonical order (T.81 C.2): false when the lengths overflow 16 bits.
bool canonical_codes(const HuffmanTable& table, std::vector<uint16_t>* codes,
                     std::vector<uint8_t>* lengths) {
  size_t total = 0;
  for (size_t len = 1; len <= 16; ++len) total += table.bits[len];
  if (total == 0 || total > 256 || total != table.values.size()) return false;
  uint32_t code = 0;
  for (size_t len = 1; len <= 16; ++len) {
    for (int i = 0; i < table.bits[len]; ++i) {
      codes->push_back(static_cast<uint16_t>(code));
      lengths->push_back(static_cast<uint8_t>(len));
      ++code;
    }
    if (code > (1u << len)) return false;
    code <<= 1;
  }
  return true;
}

// Codes of up to kLookBits bits are found in one look-up, longer ones in a second table of the
// code's next kSubBits bits.
constexpr int kSubBits = 16 - kLookBits;
constexpr uint16_t kSubTable = 0x8000;  // an entry that names a second table
constexpr uint16_t kSubIndex = 0x7FFF;

struct DecodeTable {
  // (length of the code and its extra bits) << 8 | symbol; kSubTable | n for second table n; 0
  // for no code.
  std::array<uint16_t, 1 << kLookBits> look{};
  std::vector<std::array<uint16_t, 1 << kSubBits>> sub;
};

// A baseline scan's symbols (T.81 F.1.2): DC categories up to 11; AC runs with sizes up to 10,
// EOB (0x00) and ZRL (0xF0). The code of any other symbol decodes as no code at all, so that the
// walk stops where such a symbol stands without a test of its own.
bool is_baseline_symbol(bool is_ac, uint8_t symbol) {
  if (!is_ac) return symbol <= 11;
  const uint32_t size = symbol & 15u;
  return size == 0 ? symbol == 0x00 || symbol == 0xF0 : size <= 10;
}

// The extra bits after a symbol's code: a DC symbol's category, an AC symbol's size.
constexpr uint32_t extra_bits(bool is_ac, uint32_t symbol) { return is_ac ? symbol & 15u : symbol; }

bool build_decode_table(const HuffmanTable& table, bool is_ac, DecodeTable* t) {
  std::vector<uint16_t> codes;
  std::vector<uint8_t> lengths;
  if (!canonical_codes(table, &codes, &lengths)) return false;
  for (size_t i = 0; i < codes.size(); ++i) {
    const uint8_t symbol = table.values[i];
    const uint16_t entry =
        is_baseline_symbol(is_ac, symbol)
            ? static_cast<uint16_t>((lengths[i] + extra_bits(is_ac, symbol)) << 8 | symbol)
            : 0;
    if (lengths[i] <= kLookBits) {
      const int spare = kLookBits - lengths[i];
      const size_t first = static_cast<size_t>(codes[i]) << spare;
      std::fill_n(t->look.begin() + static_cast<std::ptrdiff_t>(first), size_t{1} << spare, entry);
      continue;
    }
    const int rest = lengths[i] - kLookBits;  // bits after the first kLookBits
    uint16_t& head = t->look[static_cast<size_t>(codes[i] >> rest)];
    if ((head & kSubTable) == 0) {
      head = static_cast<uint16_t>(kSubTable | t->sub.size());
      t->sub.emplace_back();
      t->sub.back().fill(0);
    }
    const int spare = kSubBits - rest;
    const size_t first = static_cast<size_t>(codes[i] & ((1u << rest) - 1)) << spare;
    std::fill_n(t->sub[head & kSubIndex].begin() + static_cast<std::ptrdiff_t>(first),
                size_t{1} << spare, entry);
  }
  return true;
}

struct EncodeTable {
  std::array<uint16_t, 256> code{};
  std::array<uint8_t, 256> length{};  // 0: the symbol has no code
};

EncodeTable build_encode_table(const HuffmanTable& table) {
  std::vector<uint16_t> codes;
  std::vector<uint8_t> lengths;
  EncodeTable t;
  canonical_codes(table, &codes, &lengths);  // our own optimal tables: always canonical
  for (size_t i = 0; i < codes.size(); ++i) {
    t.code[table.values[i]] = codes[i];
    t.length[table.values[i]] = lengths[i];
  }
  return t;
}

// Entropy-coded bytes read MSB first, stuffed zero bytes dropped. At a marker (or the end) the
// reader feeds zero bits and counts them, so that a decode that used them is known to have run
// past its data.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size, size_t pos) : data_(data), size_(size), pos_(pos) {}

  // At least 32 bits in the buffer: four bytes at a time where none of them is 0xFF.
  void fill() {
    if (bits_ > 32) return;
    if (!is_at_marker_ && size_ - pos_ >= 4) {
      const uint32_t word = static_cast<uint32_t>(data_[pos_]) << 24 |
                            static_cast<uint32_t>(data_[pos_ + 1]) << 16 |
                            static_cast<uint32_t>(data_[pos_ + 2]) << 8 | data_[pos_ + 3];
      if (!has_ff_byte(word)) {
        buffer_ |= static_cast<uint64_t>(word) << (32 - bits_);
        bits_ += 32;
        pos_ += 4;
        return;
      }
    }
    while (bits_ <= 56) {
      uint64_t byte = 0;
      if (is_at_marker_ || pos_ >= size_) {
        padded_ += 8;
      } else if (data_[pos_] != 0xFF) {
        byte = data_[pos_++];
      } else if (pos_ + 1 < size_ && data_[pos_ + 1] == 0x00) {
        byte = 0xFF;
        pos_ += 2;
      } else {
        is_at_marker_ = true;
        padded_ += 8;
      }
      buffer_ |= byte << (56 - bits_);
      bits_ += 8;
    }
  }
  uint32_t peek(int n) const { return static_cast<uint32_t>(buffer_ >> (64 - n)); }
  void skip(int n) {
    buffer_ <<= n;
    bits_ -= n;
  }
  // Bits of the scan's own data still in the buffer; negative once zero bits fed at a marker
  // were used.
  int real_bits() const { return bits_ - padded_; }
  // Past the padding of the last byte: at the marker that ends an interval or the scan.
  size_t marker_pos() const { return pos_; }
  void restart_at(size_t pos) {
    pos_ = pos;
    buffer_ = 0;
    bits_ = padded_ = 0;
    is_at_marker_ = false;
  }

 private:
  const uint8_t* data_;
  size_t size_, pos_;
  uint64_t buffer_ = 0;
  int bits_ = 0, padded_ = 0;
  bool is_at_marker_ = false;
};

// Reads one symbol and its extra bits; false for bits that are no code of the table.
template <bool kIsAc>
inline bool decode_symbol(BitReader& in, const DecodeTable& t, uint32_t* symbol, uint32_t* extra) {
  uint32_t entry = t.look[in.peek(kLookBits)];
  if ((entry & kSubTable) != 0)
    entry = t.sub[entry & kSubIndex][in.peek(16) & ((1u << kSubBits) - 1)];
  if (entry == 0) return false;
  const int n = static_cast<int>(entry >> 8);  // 1..27
  *symbol = entry & 0xFFu;
  *extra = in.peek(n) & ((1u << extra_bits(kIsAc, *symbol)) - 1u);
  in.skip(n);
  return true;
}

// Entropy-coded bytes written MSB first with a zero byte stuffed after each 0xFF, four bytes at
// a time where none of them is 0xFF.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out), pos_(out->size()) {}
  ~BitWriter() { out_->resize(pos_); }
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  void put(uint32_t value, uint32_t n) {  // n <= 27
    buffer_ = buffer_ << n | value;
    bits_ += n;
    if (bits_ < 32) return;
    bits_ -= 32;
    const uint32_t word = static_cast<uint32_t>(buffer_ >> bits_);
    if (out_->size() - pos_ < 8) out_->resize(out_->size() * 2 + 64);
    uint8_t* p = out_->data() + pos_;
    pos_ += static_cast<size_t>(put_stuffed_word(p, word) - p);
  }
  // The bits held written out, the last byte filled with one bits (T.81 F.1.2.3).
  void pad() {
    if (bits_ % 8 != 0) put((1u << (8 - bits_ % 8)) - 1, 8 - bits_ % 8);
    if (out_->size() - pos_ < 8) out_->resize(out_->size() * 2 + 64);
    while (bits_ > 0) {
      bits_ -= 8;
      const uint8_t byte = static_cast<uint8_t>(buffer_ >> bits_);
      out_->data()[pos_++] = byte;
      if (byte == 0xFF) out_->data()[pos_++] = 0;
    }
  }
  // A marker, after pad().
  void marker(uint8_t code) {
    if (out_->size() - pos_ < 2) out_->resize(out_->size() * 2 + 64);
    out_->data()[pos_++] = 0xFF;
    out_->data()[pos_++] = code;
  }

 private:
  std::vector<uint8_t>* out_;
  size_t pos_;
  uint64_t buffer_ = 0;
  uint32_t bits_ = 0;
};

struct ScanLayout {
  std::array<DecodeTable, 4> dc, ac;
  std::array<bool, 4> has_dc{}, has_ac{};
  // Each block of an MCU: its table slots, its component (in scan order) and its place in the
  // component's part of the MCU.
  std::vector<uint8_t> block_dc, block_ac, block_comp, block_x, block_y;
  // Each scan component: its blocks in an MCU across, and its blocks across and down the frame.
  std::vector<uint64_t> comp_h, comp_v, comp_width_blocks, comp_height_blocks;
  uint64_t mcus = 0, mcus_across = 1;
  uint32_t restart_interval = 0;
  size_t data_start = 0;  // the first byte after the SOS segment
  size_t sos_offset = 0;
};

uint32_t read16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }

// The frame, tables and scan the header describes; false for anything but one 8-bit
// sequential Huffman scan of every component with all its tables defined.
bool read_layout(const uint8_t* data, size_t size, const JpegHeader& header, ScanLayout* s) {
  const FrameInfo& f = header.frame;
  if ((f.sof_marker != 0xC0 && f.sof_marker != 0xC1) || f.precision_bits != 8 || f.components < 1 ||
      f.components > 4 || f.width_px <= 0 || f.height_px <= 0)
    return false;
  std::array<HuffmanTable, 8> tables;  // DC slots 0..3, AC slots 4..7
  std::array<bool, 8> is_defined{};
  const HeaderSegment* sos = nullptr;
  for (const HeaderSegment& seg : header.segments) {
    const uint8_t* p = data + seg.offset + 4;
    const size_t n = seg.length_bytes - 4;
    if (seg.marker == 0xC4) {
      for (size_t i = 0; i < n;) {
        if (n - i < 17) return false;
        const size_t tc = p[i] >> 4, th = p[i] & 15u;
        if (tc > 1 || th > 3) return false;
        HuffmanTable table;
        size_t count = 0;
        for (size_t len = 1; len <= 16; ++len) count += table.bits[len] = p[i + len];
        if (n - i - 17 < count) return false;
        table.values.assign(p + i + 17, p + i + 17 + count);
        tables[tc * 4 + th] = std::move(table);
        is_defined[tc * 4 + th] = true;
        i += 17 + count;
      }
    } else if (seg.marker == 0xDD) {
      if (n < 2) return false;
      s->restart_interval = read16(p);
    } else if (seg.marker == 0xDA) {
      sos = &seg;
    }
  }
  if (sos == nullptr) return false;
  const uint8_t* p = data + sos->offset + 4;
  const size_t n = sos->length_bytes - 4;
  const size_t ns = n >= 1 ? p[0] : 0;
  const size_t nf = static_cast<size_t>(f.components);
  if (ns != nf || n != 4 + 2 * ns) return false;
  if (p[1 + 2 * ns] != 0 || p[2 + 2 * ns] != 63 || p[3 + 2 * ns] != 0) return false;
  uint64_t h_max = 1, v_max = 1;
  for (size_t c = 0; c < nf; ++c) {
    if (f.h_samp[c] < 1 || f.h_samp[c] > 4 || f.v_samp[c] < 1 || f.v_samp[c] > 4) return false;
    h_max = std::max<uint64_t>(h_max, f.h_samp[c]);
    v_max = std::max<uint64_t>(v_max, f.v_samp[c]);
  }
  for (size_t i = 0; i < ns; ++i) {
    const uint8_t id = p[1 + 2 * i];
    const uint8_t td = p[2 + 2 * i] >> 4, ta = p[2 + 2 * i] & 15u;
    size_t c = 0;
    while (c < nf && f.component_id[c] != id) ++c;
    if (c == nf || td > 3 || ta > 3 || !is_defined[td] || !is_defined[4u + ta]) return false;
    if (!s->has_dc[td] && !build_decode_table(tables[td], false, &s->dc[td])) return false;
    if (!s->has_ac[ta] && !build_decode_table(tables[4u + ta], true, &s->ac[ta])) return false;
    s->has_dc[td] = s->has_ac[ta] = true;
    const size_t across = ns == 1 ? 1 : f.h_samp[c], down = ns == 1 ? 1 : f.v_samp[c];
    for (size_t y = 0; y < down; ++y) {
      for (size_t x = 0; x < across; ++x) {
        s->block_dc.push_back(td);
        s->block_ac.push_back(ta);
        s->block_comp.push_back(static_cast<uint8_t>(i));
        s->block_x.push_back(static_cast<uint8_t>(x));
        s->block_y.push_back(static_cast<uint8_t>(y));
      }
    }
    const uint64_t w = static_cast<uint64_t>(f.width_px), h = static_cast<uint64_t>(f.height_px);
    s->comp_h.push_back(across);
    s->comp_v.push_back(down);
    s->comp_width_blocks.push_back(((w * f.h_samp[c] + h_max - 1) / h_max + 7) / 8);
    s->comp_height_blocks.push_back(((h * f.v_samp[c] + v_max - 1) / v_max + 7) / 8);
  }
  if (s->block_dc.size() > 10) return false;  // T.81 B.2.3
  if (ns == 1) {                              // one component: its own blocks, not the frame's MCUs
    s->mcus_across = s->comp_width_blocks[0];
    s->mcus = s->comp_width_blocks[0] * s->comp_height_blocks[0];
  } else {
    const uint64_t w = static_cast<uint64_t>(f.width_px), h = static_cast<uint64_t>(f.height_px);
    s->mcus_across = (w + 8 * h_max - 1) / (8 * h_max);
    s->mcus = s->mcus_across * ((h + 8 * v_max - 1) / (8 * v_max));
  }
  s->sos_offset = sos->offset;
  s->data_start = sos->offset + sos->length_bytes;
  return s->data_start <= size;
}

// The DC difference of category n read as its n extra bits (T.81 F.2.2.1).
inline int32_t extend(uint32_t bits, uint32_t n) {
  return n == 0                   ? 0
         : bits < (1u << (n - 1)) ? static_cast<int32_t>(bits) - static_cast<int32_t>((1u << n) - 1)
                                  : static_cast<int32_t>(bits);
}

inline uint32_t category(int32_t v) {
  uint32_t magnitude = static_cast<uint32_t>(v < 0 ? -v : v), n = 0;
  for (; magnitude != 0; magnitude >>= 1) ++n;
  return n;
}

// Reads the scan symbol by symbol and hands on_symbol(table, symbol, extra, n) the symbols of the
// scan to write (table 0..3 a DC slot, 4..7 an AC slot; n extra bits), and on_restart(k) where
// restart marker k goes. The symbols are the scan's own, but for the blocks an edge MCU holds
// beyond its component's blocks: those stand for no pixel, and go out as libjpeg's encoders
// write them, the DC of the block before them in the MCU and no AC coefficient. Returns the
// offset of the marker that ends the scan, or 0 when the scan does not decode or ends early.
template <typename OnSymbol, typename OnRestart>
size_t walk_scan(const uint8_t* data, size_t size, const ScanLayout& s, OnSymbol on_symbol,
                 OnRestart on_restart) {
  BitReader in(data, size, s.data_start);
  uint32_t restart = 0;
  std::array<int32_t, 4> pred{}, new_pred{};
  std::array<int32_t, 10> dc_of_block{};  // each block's DC as written
  for (uint64_t mcu = 0; mcu < s.mcus; ++mcu) {
    if (s.restart_interval != 0 && mcu != 0 && mcu % s.restart_interval == 0) {
      const size_t at = in.marker_pos();
      if (in.real_bits() >= 8 || at + 1 >= size || data[at] != 0xFF ||
          data[at + 1] != 0xD0 + (restart & 7))
        return 0;
      on_restart(restart & 7);
      ++restart;
      in.restart_at(at + 2);
      pred.fill(0);
      new_pred.fill(0);
    }
    const uint64_t mcu_x = mcu % s.mcus_across, mcu_y = mcu / s.mcus_across;
    for (size_t b = 0; b < s.block_dc.size(); ++b) {
      const size_t c = s.block_comp[b];
      // (Never for one component: its MCUs are its blocks.)
      const bool is_outside = mcu_x * s.comp_h[c] + s.block_x[b] >= s.comp_width_blocks[c] ||
                              mcu_y * s.comp_v[c] + s.block_y[b] >= s.comp_height_blocks[c];
      in.fill();
      uint32_t symbol = 0, extra = 0;
      if (!decode_symbol<false>(in, s.dc[s.block_dc[b]], &symbol, &extra)) return 0;
      pred[c] += extend(extra, symbol);
      // The first block of a component in an MCU is never outside: b - 1 is of the same one.
      if (is_outside && (b == 0 || s.block_comp[b - 1] != c)) return 0;
      dc_of_block[b] = is_outside ? dc_of_block[b - 1] : pred[c];
      const int32_t diff = dc_of_block[b] - new_pred[c];
      new_pred[c] = dc_of_block[b];
      const uint32_t n = category(diff);
      on_symbol(s.block_dc[b], n,
                static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << n) - 1), n);
      const size_t ac_table = 4u + s.block_ac[b];
      const DecodeTable& ac = s.ac[s.block_ac[b]];
      bool has_eob = false;
      for (uint32_t k = 1; k < 64;) {
        in.fill();
        // Only baseline symbols decode: EOB, ZRL and runs with sizes 1..10.
        if (!decode_symbol<true>(in, ac, &symbol, &extra)) return 0;
        if (symbol == 0x00) {
          has_eob = true;
          break;
        }
        const uint32_t bits = symbol & 15u;
        k += (symbol >> 4) + 1u;
        if (k > 64) return 0;
        if (!is_outside) on_symbol(ac_table, symbol, extra, bits);
      }
      if (has_eob || is_outside) on_symbol(ac_table, 0, 0, 0);
    }
    if (in.real_bits() < 0) return 0;  // used bits past the scan's data
  }
  if (in.real_bits() >= 8) return 0;
  return in.marker_pos();
}

}  // namespace

HuffmanTable optimal_huffman_table(const std::array<uint64_t, 256>& counts) {
  constexpr size_t kMaxLength = 32;
  constexpr size_t kNone = 257;
  std::array<uint64_t, 257> freq{};
  std::copy(counts.begin(), counts.end(), freq.begin());
  freq[256] = 1;  // a code point no symbol takes: no code is all ones
  std::array<size_t, 257> code_size{}, others{};
  others.fill(kNone);
  for (;;) {
    // The two least frequent, the higher symbol first among equals.
    size_t c1 = kNone, c2 = kNone;
    uint64_t v = kMaxCount;
    for (size_t i = 0; i <= 256; ++i) {
      if (freq[i] != 0 && freq[i] <= v) {
        v = freq[i];
        c1 = i;
      }
    }
    v = kMaxCount;
    for (size_t i = 0; i <= 256; ++i) {
      if (freq[i] != 0 && freq[i] <= v && i != c1) {
        v = freq[i];
        c2 = i;
      }
    }
    if (c2 == kNone) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    ++code_size[c1];
    while (others[c1] != kNone) {
      c1 = others[c1];
      ++code_size[c1];
    }
    others[c1] = c2;
    ++code_size[c2];
    while (others[c2] != kNone) {
      c2 = others[c2];
      ++code_size[c2];
    }
  }
  std::array<int, kMaxLength + 1> bits{};
  for (size_t i = 0; i <= 256; ++i) {
    if (code_size[i] > kMaxLength) return HuffmanTable{};  // as libjpeg, which gives up there
    if (code_size[i] != 0) ++bits[code_size[i]];
  }
  // Lengths over 16: a pair of leaves moves up a level, a shorter leaf down to make room.
  size_t i = kMaxLength;
  for (; i > 16; --i) {
    while (bits[i] > 0) {
      size_t j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      ++bits[i - 1];
      bits[j + 1] += 2;
      --bits[j];
    }
  }
  while (bits[i] == 0) --i;
  --bits[i];  // the code point kept free
  HuffmanTable table;
  for (size_t len = 1; len <= 16; ++len) table.bits[len] = static_cast<uint8_t>(bits[len]);
  for (size_t len = 1; len <= kMaxLength; ++len) {
    for (size_t sym = 0; sym < 256; ++sym) {
      if (code_size[sym] == len) table.values.push_back(static_cast<uint8_t>(sym));
    }
  }
  return table;
}

bool refit_huffman_tables(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  JpegHeader header;
  ScanLayout s;
  if (!parse_header(data, size, &header) || !read_layout(data, size, header, &s)) return false;
  // The scan read twice, rather than its symbols kept between the readings (four bytes each,
  // more than the scan itself): first to count them, then to write them with the fitted codes.
  std::array<std::array<uint64_t, 256>, 8> counts{};  // DC slots 0..3, AC slots 4..7
  const size_t end = walk_scan(
      data, size, s,
      [&counts](size_t table, uint32_t symbol, uint32_t, uint32_t) { ++counts[table][symbol]; },
      [](uint32_t) {});
  uint64_t symbol_total = 0;
  for (const std::array<uint64_t, 256>& table_counts : counts) {
    for (const uint64_t n : table_counts) symbol_total += n;
  }
  // The scan, then its EOI and nothing after it: a single-scan stream.
  if (end == 0 || end + 2 != size || data[end + 1] != 0xD9 || symbol_total >= kMaxCount)
    return false;

  std::array<HuffmanTable, 8> fitted;
  std::array<EncodeTable, 8> codes;
  std::vector<uint8_t> dht;
  for (size_t t = 0; t < 8; ++t) {
    const bool is_used = t < 4 ? s.has_dc[t] : s.has_ac[t - 4];
    if (!is_used) continue;
    fitted[t] = optimal_huffman_table(counts[t]);
    if (fitted[t].values.empty()) return false;
    codes[t] = build_encode_table(fitted[t]);
    dht.push_back(static_cast<uint8_t>((t < 4 ? 0x00 : 0x10) | (t & 3)));
    dht.insert(dht.end(), fitted[t].bits.begin() + 1, fitted[t].bits.end());
    dht.insert(dht.end(), fitted[t].values.begin(), fitted[t].values.end());
  }

  std::vector<uint8_t> result(data, data + 2);  // SOI
  result.reserve(size);
  for (const HeaderSegment& seg : header.segments) {
    if (seg.marker == 0xC4) continue;
    if (seg.offset == s.sos_offset) {
      const size_t length = dht.size() + 2;
      result.insert(result.end(), {0xFF, 0xC4, static_cast<uint8_t>(length >> 8),
                                   static_cast<uint8_t>(length & 0xFF)});
      result.insert(result.end(), dht.begin(), dht.end());
    }
    result.insert(result.end(), data + seg.offset, data + seg.offset + seg.length_bytes);
  }
  {
    BitWriter writer(&result);  // the scan's bytes are result's once it is gone
    walk_scan(
        data, size, s,
        [&writer, &codes](size_t table, uint32_t symbol, uint32_t extra, uint32_t n) {
          const EncodeTable& t = codes[table];
          writer.put(static_cast<uint32_t>(t.code[symbol]) << n | extra, t.length[symbol] + n);
        },
        [&writer](uint32_t k) {
          writer.pad();
          writer.marker(static_cast<uint8_t>(0xD0 + k));
        });
    writer.pad();
  }
  result.insert(result.end(), data + end, data + size);
  out->swap(result);
  return true;
}

}  // namespace kestrum
