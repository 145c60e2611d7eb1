/* SPDX-License-Identifier: MIT */
/* kestrum: re-encodes baseline JPEG files at a requested quality.
 * The five exported functions of libkestrumEx.so / kestrumEx.dll. All use the C calling convention
 * (cdecl on 32-bit Windows) and undecorated names. Paths are narrow strings in the process code
 * page.
 *
 * Input. The decoder takes 8-bit Huffman-coded sequential frames (SOF0, and SOF1 with 8-bit
 * tables) of three components in one interleaved first scan, sampled 4:2:0 (Y 2x2, Cb 1x1,
 * Cr 1x1), which it reads as YCbCr. Only the first scan is decoded. APP1..APP15 and COM segments
 * are skipped by their length. Refused:
 *   KESTRUM_ERR_SOURCE (-1): every other sampling layout (4:2:2, 4:4:4, 4:4:0, greyscale,
 *     unrecognised factors), after a message naming it.
 *   KESTRUM_ERR_CORRUPT (-2): a precision other than 8 bits, 16-bit quantization tables,
 *     progressive, arithmetic-coded (also a DAC segment), lossless and hierarchical frames, a scan
 *     that is not sequential (Ss, Se, Ah, Al other than 0, 63, 0), no scan header, a first scan
 *     without each of the three components once, a zero sampling factor, width or height, bad
 *     Huffman tables and table or component selectors.
 *   KESTRUM_ERR_FRAME_TOO_LARGE (-6): planes of more than 0xC000000 bytes each.
 * A width or height outside 48..8192 and more than three components are reported on the log and
 * not refused by themselves.
 *
 * Quality. Only the low 16 bits of the requested quality are used; 0 means 85. The source's
 * quality is estimated from its quantization tables 0 and 1: the highest quality from 100 down
 * whose scaled Annex K luma and chroma tables add up to at least the sum of the source's. The
 * result is encoded at the request lowered by that estimate's distance from 100 (request -
 * (100 - estimate), clamped to 1..100); an estimate of 100 keeps the request. A source saved at
 * 90 and recoded at 85 is thus written at 75.
 *
 * Output. A baseline 4:2:0 JFIF stream: SOI, APP0 (JFIF), the two quantization tables, a restart
 * interval of one MCU row, SOF0, the four Annex K Huffman tables and one scan. Nothing of the
 * source's metadata is carried over: no EXIF, XMP, ICC profile, IPTC or comment.
 *
 * Log. Progress and every problem are printed as text on the process's standard output (stdout,
 * through the C runtime); the library has no function to turn it off or send it elsewhere. A host
 * that must keep its standard output clean redirects it around the call at the descriptor level
 * (dup and dup2 on file descriptor 1), knowing that this affects every thread of the process. */
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
