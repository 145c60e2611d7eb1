// SPDX-License-Identifier: MIT
// What a decode met in a damaged stream: entropy-coded data that ran out before the last MCU,
// codes that match no Huffman code (T.81 F.2.2.3), restart markers missing or out of order
// (T.81 E.2.4) and a missing EOI. The decoder goes on through all of these (grey blocks where
// data is missing); this record lets a caller tell such a result from a sound one.
#pragma once

#include <cstdint>

namespace kestrum {

struct DecodeDamage {
  static constexpr uint32_t kNoRow = UINT32_MAX;
  uint32_t mcu_rows = 0;                // MCU rows of the frame decoded
  uint32_t first_starved_row = kNoRow;  // first row that ended without data for all its MCUs
  bool has_data_resumed = false;        // a later row found data again (after a restart marker)
  uint32_t bad_codes = 0;               // codes that matched no code of their Huffman table
  uint32_t restart_errors = 0;          // restart markers met missing or out of order
  bool has_no_eoi = false;              // the data ended without an EOI marker

  bool is_damaged() const {
    return first_starved_row != kNoRow || bad_codes != 0 || restart_errors != 0 || has_no_eoi;
  }
};

}  // namespace kestrum
