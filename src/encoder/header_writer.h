// SPDX-License-Identifier: MIT
// The stream header: SOI, APP0 (JFIF 1.01), DQT, DRI, SOF0, DHT, SOS (T.81 B.2, JFIF 1.02).
#pragma once

#include <cstdint>

namespace kestrum {

inline constexpr uint32_t kSoiApp0Bytes = 20;
inline constexpr uint32_t kHeaderBytes = 629;

// Writes SOI and the 16-byte JFIF APP0 at out_ptr. Reads/Writes: out_ptr.
void write_soi_app0() noexcept;
// One DQT segment for table id 0 (luma) or 1 (chroma), once per stream.
// Reads: working tables, dqt_written. Writes: out_ptr, dqt_written.
void write_dqt(int32_t table_id) noexcept;
// One DHT segment of the Annex K table of that class and id, once per stream.
// Reads/Writes: dht_*_written, out_ptr.
void write_dht(bool is_ac, int32_t table_id) noexcept;
// DQT, DRI (one MCU row per interval), SOF0, DHT and SOS.
// Reads: image size, mcus_per_row, sampling, selectors. Writes: out_ptr, flags.
void write_frame_headers() noexcept;

}  // namespace kestrum
