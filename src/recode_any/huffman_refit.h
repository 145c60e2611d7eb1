// SPDX-License-Identifier: MIT
// Huffman tables fitted to a stream's own symbols, without decoding its coefficients: the scan is
// read symbol by symbol twice, once to count and once to write it again with the new codes, its
// extra bits copied as they are. The same coefficients, so the same pixels, in fewer bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

// A Huffman table as a DHT segment holds it (T.81 B.2.4.2): the number of codes of each length
// 1..16 and the symbols in code order.
struct HuffmanTable {
  std::array<uint8_t, 17> bits{};  // bits[0] unused
  std::vector<uint8_t> values;
};

// The table libjpeg's optimize_coding builds from symbol counts (jpeg_gen_optimal_table: one code
// point kept free, lengths limited to 16 by moving pairs of leaves up), so that a refitted stream
// has the tables and bytes of libjpeg's own transcode. counts[s] is how often symbol s occurs;
// no values when a code would need more than 32 bits before the limit (libjpeg gives up there).
HuffmanTable optimal_huffman_table(const std::array<uint64_t, 256>& counts);

// The stream with every table its scan uses fitted to that scan: its segments before the scan
// byte for byte except the DHT segments (one DHT segment of the fitted tables goes right before
// the SOS), the scan coded again with the same restart markers, and whatever follows the scan
// (the EOI) as it was. Only a baseline or extended 8-bit frame with one scan of all its
// components (as the library's encoder and libjpeg's default compressor write) is refitted, and
// only when every code of the scan decodes and the scan ends where its frame does: false, out
// unchanged, for any other stream.
bool refit_huffman_tables(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

}  // namespace kestrum
