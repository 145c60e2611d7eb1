/* SPDX-License-Identifier: MIT */
/* kestrum: re-encodes baseline JPEG files at a requested quality.
 * The five exported functions of libkestrumEx.so / kestrumEx.dll. All use the C calling convention
 * (cdecl on 32-bit Windows) and undecorated names. Paths are narrow strings in the process code
 * page. */
#ifndef KESTRUM_H_
#define KESTRUM_H_

#include <stdint.h>

#if defined(_WIN32)
#define KESTRUM_CALL __cdecl
#else
#define KESTRUM_CALL
#endif

#if defined(KESTRUM_BUILDING_LIBRARY) && !defined(_WIN32)
#define KESTRUM_API __attribute__((visibility("default")))
#else
#define KESTRUM_API
#endif

#ifdef __cplusplus
#define KESTRUM_NOEXCEPT noexcept
extern "C" {
#else
#define KESTRUM_NOEXCEPT
#endif

/* Opaque handle from kestrum_Init; it only gates kestrum_100. */
typedef void* KestrumHandle;

/* Status codes of jpg_recode_api. */
enum KestrumStatus {
  KESTRUM_OK = 0,
  KESTRUM_ERR_SOURCE = -1,        /* source cannot be opened or read, or its layout is not 4:2:0 */
  KESTRUM_ERR_CORRUPT = -2,       /* malformed stream: bad tables, selectors, geometry, no scan */
  KESTRUM_ERR_ROW_STATUS = -3,    /* an MCU row did not finish (internal guard) */
  KESTRUM_ERR_TRAILER = -4,       /* a header pass after the scan made no progress (guard) */
  KESTRUM_ERR_SOURCE_MEMORY = -5, /* no memory for the source file */
  KESTRUM_ERR_FRAME_TOO_LARGE = -6, /* the frame exceeds the decoder's capacity, or no memory */
  KESTRUM_ERR_ENCODER_INIT = -11,   /* JImageInit failed */
  KESTRUM_ERR_ENCODER = -12,        /* JImageEncoder failed */
  KESTRUM_ERR_CREATE_OUTPUT = -14,  /* the destination cannot be created */
  KESTRUM_ERR_WRITE_OUTPUT = -15,   /* writing, closing or renaming the destination failed */
  KESTRUM_ERR_NO_MEMORY = -16       /* encoder records or buffers could not be allocated */
};

/* Returns 1 when path was recoded into "<stem>_<quality>.<ext>" beside it, 0 otherwise. */
KESTRUM_API int32_t KESTRUM_CALL kestrum_100(KestrumHandle handle, const char* path,
                                             int32_t quality) KESTRUM_NOEXCEPT;
/* Returns a new handle for the name "KE_100", otherwise null. */
KESTRUM_API KestrumHandle KESTRUM_CALL kestrum_Init(const char* name) KESTRUM_NOEXCEPT;
/* Releases a handle: 1, or 0 for null. */
KESTRUM_API int32_t KESTRUM_CALL kestrum_Release(KestrumHandle handle) KESTRUM_NOEXCEPT;
/* Always 0. */
KESTRUM_API int32_t KESTRUM_CALL kestrum_Test(void) KESTRUM_NOEXCEPT;
/* Recodes source into destination; returns a KestrumStatus. Calls are serialised process-wide. */
KESTRUM_API int32_t KESTRUM_CALL jpg_recode_api(const char* source, const char* destination,
                                                int32_t quality) KESTRUM_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KESTRUM_H_ */
