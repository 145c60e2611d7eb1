// SPDX-License-Identifier: MIT
// Header segments, one function each, big-endian fields as T.81 B.1.1.5 prescribes. Lengths are
// computed from the fields written.
#include "encoder/header_writer.h"

#include "common/jpeg_tables.h"
#include "encoder/encoder_state.h"

namespace kestrum {
namespace {

void put8(uint32_t v) { *g_encoder.out_ptr++ = static_cast<uint8_t>(v); }
void put16(uint32_t v) {
  put8(v >> 8);
  put8(v & 0xFF);
}
void marker(uint8_t code) {
  put8(0xFF);
  put8(code);
}

template <size_t N>
void put_huffman(const HuffTableDef<N>& def) {
  for (uint8_t b : def.bits) put8(b);
  for (uint8_t v : def.values) put8(v);
}

}  // namespace

void write_soi_app0() noexcept {
  marker(kMarkerSoi);
  marker(kMarkerApp0);
  put16(16);  // segment length
  put8('J');  // identifier "JFIF\0"
  put8('F');
  put8('I');
  put8('F');
  put8(0);
  put8(1);  // version 1.01
  put8(1);
  put8(0);   // density units: aspect ratio only
  put16(1);  // horizontal density
  put16(1);  // vertical density
  put8(0);   // thumbnail width
  put8(0);   // thumbnail height
}

void write_dqt(int32_t table_id) noexcept {
  EncoderState& e = g_encoder;
  const size_t id = static_cast<size_t>(table_id);
  if (e.dqt_written[id]) return;
  const auto& table = table_id == 0 ? e.luma_quant_table : e.chroma_quant_table;
  marker(kMarkerDqt);
  put16(2 + 1 + 64);                      // length, Pq/Tq, 64 entries
  put8(static_cast<uint32_t>(table_id));  // 8-bit precision, table id
  for (size_t k = 0; k < 64; ++k) put8(static_cast<uint32_t>(table[kZigZagToNatural[k]]) & 0xFF);
  e.dqt_written[id] = true;
}

void write_dht(bool is_ac, int32_t table_id) noexcept {
  EncoderState& e = g_encoder;
  const size_t id = static_cast<size_t>(table_id);
  auto& written = is_ac ? e.dht_ac_written : e.dht_dc_written;
  if (written[id]) return;
  marker(kMarkerDht);
  if (is_ac) {
    const auto& def = table_id == 0 ? kLumaAcTable : kChromaAcTable;
    put16(2 + 1 + 16 + static_cast<uint32_t>(def.values.size()));  // length, Tc/Th, BITS, HUFFVAL
    put8(0x10u + static_cast<uint32_t>(table_id));
    put_huffman(def);
  } else {
    const auto& def = table_id == 0 ? kLumaDcTable : kChromaDcTable;
    put16(2 + 1 + 16 + static_cast<uint32_t>(def.values.size()));
    put8(static_cast<uint32_t>(table_id));
    put_huffman(def);
  }
  written[id] = true;
}

void write_frame_headers() noexcept {
  EncoderState& e = g_encoder;
  for (int32_t i = 0; i < 3; ++i) write_dqt(i == 0 ? 0 : 1);

  marker(kMarkerDri);
  put16(4);                                          // length
  put8(static_cast<uint32_t>(e.mcus_per_row) >> 8);  // restart interval: one MCU row
  put8(static_cast<uint32_t>(e.mcus_per_row) & 0xFF);

  marker(kMarkerSof0);
  put16(2 + 1 + 2 + 2 + 1 + 3 * 3);  // length, precision, lines, samples, Nf, components
  put8(8);                           // sample precision
  put8(static_cast<uint32_t>(e.image_height) >> 8);
  put8(static_cast<uint32_t>(e.image_height) & 0xFF);
  put8(static_cast<uint32_t>(e.image_width) >> 8);
  put8(static_cast<uint32_t>(e.image_width) & 0xFF);
  put8(3);
  for (size_t i = 0; i < 3; ++i) {
    put8(static_cast<uint32_t>(i + 1));                           // identifier
    put8(static_cast<uint32_t>(16 * e.h_samp[i] + e.v_samp[i]));  // H, V
    put8(i == 0 ? 0u : 1u);                                       // Tq
  }

  for (size_t i = 0; i < 3; ++i) {
    write_dht(false, e.dc_table_sel[i]);
    write_dht(true, e.ac_table_sel[i]);
  }

  marker(kMarkerSos);
  put16(2 + 1 + 3 * 2 + 3);  // length, Ns, components, Ss Se AhAl
  put8(3);
  for (size_t i = 0; i < 3; ++i) {
    put8(static_cast<uint32_t>(i + 1));
    put8(static_cast<uint32_t>(16 * e.dc_table_sel[i] + e.ac_table_sel[i]));
  }
  put8(0);     // Ss
  put8(0x3F);  // Se
  put8(0);     // Ah, Al
}

}  // namespace kestrum
