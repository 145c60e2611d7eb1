// SPDX-License-Identifier: MIT
// The recode pipeline behind jpg_recode_api, and its building blocks for programs that link the
// core library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/status.h"
#include "decoder/decode_damage.h"
#include "platform/console_log.h"

namespace kestrum {

// A finished JPEG stream in memory (malloc'd through the recode heap; release with
// release_stream).
struct EncodedStream {
  uint8_t* data = nullptr;
  size_t length = 0;
};
void release_stream(EncodedStream& stream) noexcept;

// The whole recode, serialised with every other recode of the process: reads source (before
// taking the recode lock; only a regular file is read, and a FIFO or device is refused without
// waiting), decodes it, encodes at quality, writes destination atomically, prints the console
// log. A null source is refused with -1, a null destination with -14, before anything is read.
// Returns a RecodeStatus.
// Reads: the requested plan. Writes: g_decoder, g_encoder, the recode's console, the kept block.
int32_t recode_file(const char* source, const char* destination, int32_t quality) noexcept;

// The same from bytes in memory to a stream in memory, with the same console log except the
// file messages, printed to console (the default console when its sink is null). On success *out
// holds the stream. Where damage is not null it receives what the decode met in a damaged source
// (DecodeDamage{} after a sound one, and whenever the decode did not reach its rows).
// Reads: the requested plan. Writes: g_decoder, g_encoder, the recode's console, the kept block.
int32_t recode_memory(const uint8_t* source, uint32_t size, int32_t quality, EncodedStream* out,
                      ConsoleTarget console = {}, DecodeDamage* damage = nullptr) noexcept;

// Encodes a PlanarYuv420Image that came from elsewhere (width x height, planes at the size rounded
// up to 16) with the tables scaled at exactly quality (no estimate from a decoded source; the
// quality rule folds it into 1..100). Same console log as recode_memory after the decode. On
// success *out holds the stream. Serialised with every recode of the process.
// Reads: the requested plan. Writes: g_encoder, the recode's console.
int32_t encode_image_memory(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                            EncodedStream* out, ConsoleTarget console = {}) noexcept;

// The encoder half of a recode alone: codes a PlanarYuv420Image of width x height (as the decoder
// leaves it) at quality, lowered by the estimate from the tables of the last decode, with the
// console log of a recode's encoder steps. On success *out holds the stream.
// Reads: the requested plan, the decoder's stored tables. Writes: g_encoder, the recode's console.
int32_t encode_image(const uint8_t* image, int32_t width, int32_t height, int32_t quality,
                     EncodedStream* out) noexcept;

}  // namespace kestrum
