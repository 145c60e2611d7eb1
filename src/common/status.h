// SPDX-License-Identifier: MIT
// The library's one status vocabulary: the public header's values under the names the code uses.
// The decoder's refusals are the recode's, passed on unchanged.
#pragma once

#include <cstdint>

#include "kestrum.h"

namespace kestrum {

enum RecodeStatus : int32_t {
  kRecodeOk = KESTRUM_OK,
  // The source cannot be opened or read, or its sampling layout is not 4:2:0.
  kErrSource = KESTRUM_ERR_SOURCE,
  // A malformed stream that cannot be decoded safely.
  kErrCorruptStream = KESTRUM_ERR_CORRUPT,
  kErrRowStatus = KESTRUM_ERR_ROW_STATUS,  // an MCU row did not leave status 4 (guard)
  kErrTrailer = KESTRUM_ERR_TRAILER,       // a header pass after the scan left status 0 (guard)
  kErrSourceMemory = KESTRUM_ERR_SOURCE_MEMORY,
  // A frame beyond the planes' capacity, an output buffer too small, or no memory for a decode.
  kErrFrameTooLarge = KESTRUM_ERR_FRAME_TOO_LARGE,
  kErrEncoderInit = KESTRUM_ERR_ENCODER_INIT,
  kErrEncoder = KESTRUM_ERR_ENCODER,
  kErrCreateOutput = KESTRUM_ERR_CREATE_OUTPUT,
  kErrWriteOutput = KESTRUM_ERR_WRITE_OUTPUT,
  kErrNoMemory = KESTRUM_ERR_NO_MEMORY,
};

}  // namespace kestrum
