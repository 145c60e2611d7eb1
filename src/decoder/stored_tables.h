// SPDX-License-Identifier: MIT
// What the encoder sees of the decoder: the quantization tables the last decode stored, which the
// quality estimate reads.
#pragma once

#include <array>
#include <cstdint>

namespace kestrum {

inline constexpr int kTableSlots = 4;

// The quantization tables the last decode stored (the encoder's quality estimate reads slots 0, 1),
// in natural order.
// Reads: g_decoder.quant_tables.
const std::array<std::array<uint16_t, 64>, kTableSlots>& stored_quant_tables() noexcept;

}  // namespace kestrum
