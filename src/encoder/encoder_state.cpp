// SPDX-License-Identifier: MIT
// The encoder instance.
#include "encoder/encoder_state.h"

#include "common/jpeg_tables.h"

namespace kestrum {

namespace {
EncoderState initial_encoder_state() {
  EncoderState s{};
  s.luma_quant_table = kBaseLumaQuant;
  s.chroma_quant_table = kBaseChromaQuant;
  return s;
}
}  // namespace

EncoderState g_encoder = initial_encoder_state();

void reset_encoder_state() noexcept { g_encoder = initial_encoder_state(); }

}  // namespace kestrum
