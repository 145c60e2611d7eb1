// SPDX-License-Identifier: MIT
// The library's process-wide state, all of it in one record that only this file's functions
// touch: the recode lock, the plan the next recodes take, the image block one recode keeps for the
// next, and the console of recodes that name none. The record lives from the library's load to
// its unload and belongs to no recode; reset_process_state puts it back as a fresh process has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/code_path.h"
#include "platform/console_log.h"

namespace kestrum {

// The recode lock: one recode at a time uses g_decoder, g_encoder, the console and the kept
// block. The source is read before it is taken, so slow input never holds up another recode.
std::mutex& recode_mutex() noexcept;

// The plan the next recodes take: every fast part on, two threads where the machine has two cores
// or more, unless a test or the benchmark asked for another (set_recode_plan). The pipeline reads
// it once per recode, under the recode lock.
// Reads: the requested plan (under its own lock, so a test may set it from any thread).
RecodePlan requested_recode_plan() noexcept;
// Writes: the requested plan.
void set_recode_plan(const RecodePlan& plan) noexcept;

// Shorthands over the requested plan: every switch off (true) or on (false), the threads left as
// they are; and the threads alone (1 or 2).
// Reads/Writes: the requested plan.
void set_reference_path(bool reference) noexcept;
void set_worker_threads(int32_t threads) noexcept;

// The kept block: fresh pages cost about as much to fault in as the codec spends on them, and the
// C library gives blocks this large back to the system on every free, so one large block stays
// from a recode for the next. Blocks below this size are freed as usual (the C library reuses
// those itself).
inline constexpr size_t kRetainMinBytes = size_t{4} << 20;
// Nor is a block above this size kept: it holds a 48-megapixel photo's image (72 MiB); a larger
// frame is rare enough that its fresh pages are worth their cost rather than holding the memory
// in the host between calls.
inline constexpr size_t kRetainMaxBytes = size_t{96} << 20;

// A block of at least bytes: the kept one where it is large enough (counted by the heap's test
// hooks as an allocation), else a new one from the heap; null when that fails. capacity gets the
// block's size. The caller holds the recode lock.
// Reads/Writes: the kept block.
void* take_retained_block(size_t bytes, size_t* capacity) noexcept;

// Keeps block (capacity bytes) for the next take, freeing the block kept before; frees it
// instead when it is below kRetainMinBytes or above kRetainMaxBytes. Null is ignored. The caller
// holds the recode lock.
// Writes: the kept block.
void keep_block(void* block, size_t capacity) noexcept;

// Frees the kept block (kestrum_Release does); waits for a running recode.
// Writes: the kept block.
void release_retained_block() noexcept;

// Size of the kept block, 0 = none.
// Reads: the kept block.
size_t retained_block_bytes() noexcept;

// The default console: where the text of recodes that name no console goes, and the codec's text
// outside any recode (tests capture transcripts through it). Null = standard output. Waits for a
// running recode.
// Writes: the default console; the console's target outside a recode.
void set_console_sink(ConsoleSink sink, void* context) noexcept;

// Opens the console for one recode on target, or on the default console where target names no
// sink; closing it returns the console to the default. The caller holds the recode lock.
// Reads: the default console. Writes: the console of the current recode.
void open_recode_console(ConsoleTarget target) noexcept;
void close_recode_console() noexcept;

// Frees the kept block and puts the plan and the default console back as a fresh process has
// them; waits for a running recode.
// Writes: the whole process state.
void reset_process_state() noexcept;

}  // namespace kestrum
