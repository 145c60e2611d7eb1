// SPDX-License-Identifier: MIT
// Quality scaling of the Annex K tables and the estimate of the source's own quality.
#pragma once

#include <cstdint>

namespace kestrum {

// The quality a request of 0 stands for.
inline constexpr uint16_t kDefaultQuality = 85;

// Scales base (natural order) into dest by the quality rule: q folded into 1..100, factor
// 5000/q below 50 else 200 - 2q, entries (base * s + 50) / 100 clamped to 1..255.
void scale_quant_table(const int16_t* base, int16_t* dest, int32_t quality) noexcept;

// The quality 1..100 whose scaled Annex K tables sum at least to the source tables' sum S
// (100 when S <= 128).
int32_t estimate_source_quality(int32_t source_sum) noexcept;

// The quality a request is coded at, given the source's estimated quality: lowered by the
// estimate's distance from 100 (an estimate of 100, or 0 for none, leaves the request as it is),
// folded into 1..100. The library's quality rule, which the tool's --relative follows too.
int32_t quality_used(int32_t request, int32_t estimate) noexcept;

// The request (at most 100) that a source of that estimate codes at target: quality_used's
// inverse where one exists.
int32_t request_for(int32_t target, int32_t estimate) noexcept;

// Settles the working tables: 0 requests 85 (written back), and the request is lowered by the
// distance of the source's estimated quality from 100. With quality.is_exact the tables are
// scaled at quality.value instead and the decoder's tables are not read (images that come from
// another decoder).
// Reads: attribute->quality, quality, the decoder's stored quant slots 0 and 1.
// Writes: attribute->quality, luma_quant_table, chroma_quant_table, the reciprocals.
void setup_quant_tables() noexcept;

}  // namespace kestrum
