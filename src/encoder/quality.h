// SPDX-License-Identifier: MIT
// Quality scaling of the Annex K tables and the estimate of the source's own quality.
#pragma once

#include <cstdint>

namespace kestrum {

// The quality a request of 0 stands for.
inline constexpr uint16_t kDefaultQuality = 85;

// A caller's quality as the encoder takes it, and how it settles the tables: built once per
// encode by the pipeline, which puts quality into the attribute record and is_exact into the
// encoder's state.
struct QualityRequest {
  uint16_t quality;  // lowered: the low 16 bits of the caller's (0 stands for 85); exact: 1..100
  bool is_exact;     // the tables at quality itself, the decoder's tables not read
};

// The library's recode: the low 16 bits of quality, lowered by the source's estimated quality.
QualityRequest lowered_request(int32_t quality) noexcept;

// An image from another decoder: exactly quality, folded into 1..100 as the quality rule does.
QualityRequest exact_request(int32_t quality) noexcept;

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
// distance of the source's estimated quality from 100. With is_exact_quality the tables are
// scaled at the request itself and the decoder's tables are not read (images that come from
// another decoder).
// Reads: attribute->quality, is_exact_quality, the decoder's stored quant slots 0 and 1.
// Writes: attribute->quality, luma_quant_table, chroma_quant_table, the reciprocals.
void setup_quant_tables() noexcept;

}  // namespace kestrum
