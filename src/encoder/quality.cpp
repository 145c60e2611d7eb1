// SPDX-License-Identifier: MIT
// Quality control: IJG-style scaling of Tables K.1 and K.2, and the source-quality estimate that
// compares the sum of the source's tables with the scaled Annex K sums from quality 100 down.
#include "encoder/quality.h"

#include <array>

#include "common/jpeg_tables.h"
#include "decoder/stored_tables.h"
#include "encoder/encoder_state.h"
#include "encoder/fdct_quant.h"

namespace kestrum {
namespace {

// The quality rule's range: below 1 is 1, above 100 is 100.
int32_t folded(int32_t quality) { return quality < 1 ? 1 : quality > 100 ? 100 : quality; }

int32_t scaled_sum(int32_t quality) {
  std::array<int16_t, 64> luma{}, chroma{};
  scale_quant_table(kBaseLumaQuant.data(), luma.data(), quality);
  scale_quant_table(kBaseChromaQuant.data(), chroma.data(), quality);
  int32_t sum = 0;
  for (size_t i = 0; i < 64; ++i) sum += luma[i] + chroma[i];
  return sum;
}

}  // namespace

void scale_quant_table(const int16_t* base, int16_t* dest, int32_t quality) noexcept {
  const int32_t q = folded(quality);
  const int32_t scale = q < 50 ? 5000 / q : 200 - 2 * q;
  for (size_t i = 0; i < 64; ++i) {
    int32_t v = (base[i] * scale + 50) / 100;
    if (v < 1) v = 1;
    if (v > 255) v = 255;
    dest[i] = static_cast<int16_t>(v);
  }
}

int32_t estimate_source_quality(int32_t source_sum) noexcept {
  if (source_sum <= scaled_sum(100)) return 100;
  for (int32_t q = 100; q >= 1; --q) {
    if (source_sum <= scaled_sum(q)) return q;
  }
  return 1;
}

QualityRequest lowered_request(int32_t quality) noexcept {
  return QualityRequest{static_cast<uint16_t>(static_cast<uint32_t>(quality) & 0xFFFFu), false};
}

QualityRequest exact_request(int32_t quality) noexcept {
  return QualityRequest{static_cast<uint16_t>(folded(quality)), true};
}

int32_t quality_used(int32_t request, int32_t estimate) noexcept {
  return folded(estimate > 0 && estimate < 100 ? request - (100 - estimate) : request);
}

int32_t request_for(int32_t target, int32_t estimate) noexcept {
  const int32_t request = estimate > 0 && estimate < 100 ? target + (100 - estimate) : target;
  return request > 100 ? 100 : request;
}

namespace {
void derive_reciprocals() {
  EncoderState& e = g_encoder;
  for (size_t k = 0; k < 64; ++k) {
    const size_t n = kZigZagToNatural[k];
    e.luma_reciprocal_zz[k] = quant_reciprocal(static_cast<uint16_t>(e.luma_quant_table[n]));
    e.chroma_reciprocal_zz[k] = quant_reciprocal(static_cast<uint16_t>(e.chroma_quant_table[n]));
  }
}
}  // namespace

void setup_quant_tables() noexcept {
  EncoderState& e = g_encoder;
  ImageAttribute& a = *e.attribute;
  if (a.quality == 0) a.quality = kDefaultQuality;
  int32_t effective = a.quality;
  if (!e.is_exact_quality) {
    const auto& stored = stored_quant_tables();
    int32_t source_sum = 0;
    for (size_t i = 0; i < 64; ++i) {
      source_sum += static_cast<int16_t>(stored[0][i]) + static_cast<int16_t>(stored[1][i]);
    }
    effective = quality_used(effective, estimate_source_quality(source_sum));
  }
  scale_quant_table(kBaseLumaQuant.data(), e.luma_quant_table.data(), effective);
  scale_quant_table(kBaseChromaQuant.data(), e.chroma_quant_table.data(), effective);
  derive_reciprocals();
}

}  // namespace kestrum
