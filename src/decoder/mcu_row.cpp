// SPDX-License-Identifier: MIT
// One MCU row: entropy decode, inverse transform, staging in row buffers and the copy into the
// planes, chroma replicated 2x2. The planes have stride image_w while padded_width samples are
// written per line, so the columns past the image width spill into the next line; the write
// order fixes what remains there and so what the padding columns of the output hold.
#include "decoder/mcu_row.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

#include "common/code_path.h"
#include "common/planar_layout.h"
#include "decoder/decode_driver.h"
#include "decoder/decoder_state.h"
#include "decoder/huffman_decode.h"
#include "decoder/idct.h"

namespace kestrum {

// The dequantization tables of the three components as the signed 16-bit values the transform
// multiplies by.
using Dequant16 = std::array<std::array<int16_t, 64>, 3>;

// What the transform of a row needs, copied once, so that it does not read the decoder state
// that the entropy decoder (and, after the scan, a later frame header) goes on changing.
struct RowGeometry {
  uint8_t* output;
  const RowStream* stream;   // the consumer of final rows, or null
  size_t ring_rows;          // MCU rows output holds: row R at slot R % ring_rows
  Planar420Layout layout;    // of output
  size_t P, W, mcu_columns;  // P = layout.luma_stride, W = image_w
  Dequant16 dequant;
  IdctPairKernel idct;
};

namespace {

// The last two-thread decode's waits: written by finish_mcu_rows, which every recode's decode
// runs under the recode lock, and read after it.
RowPipelineWaits g_last_pipeline_waits;

// Rows below which a second thread costs more to start than it saves.
constexpr uint32_t kMinRowsForTwoThreads = 8;

Dequant16 dequant16() {
  const DecoderState& d = g_decoder;
  Dequant16 dequant;
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < 64; ++i) {
      dequant[c][i] = static_cast<int16_t>(static_cast<uint16_t>(d.row_components[c].dequant[i]));
    }
  }
  return dequant;
}

RowGeometry row_geometry() {
  const DecoderState& d = g_decoder;
  // The output holds ring_rows MCU rows: the whole image (16 * mcu_rows lines fill
  // padded_height) or the one-pass recode's ring.
  const Planar420Layout layout =
      planar420_layout(static_cast<size_t>(d.padded_width), 16 * static_cast<size_t>(d.ring_rows));
  return RowGeometry{d.direct_output, d.row_stream,       d.ring_rows,
                     layout,          layout.luma_stride, static_cast<size_t>(d.image_w),
                     d.mcu_columns,   dequant16(),        idct_pair_kernel(d.plan.is_simd)};
}

// One MCU's coefficients into coef_blocks (cleared first), by the plan's entropy decoder.
void decode_mcu_coefficients() {
  DecoderState& d = g_decoder;
  std::memset(d.coef_blocks.data(), 0,
              static_cast<size_t>(d.mcu_block_total) * sizeof(d.coef_blocks[0]));
  if (d.plan.is_fast_entropy) {
    decode_one_mcu_fast();
  } else {
    decode_one_mcu();
  }
}

// Transforms MCU m of the row at slot (R % ring_rows for row R) from its six blocks: Y blocks at
// their place in the Y plane (stride P), the Cb and Cr blocks in their planes (stride P / 2).
void transform_mcu(const RowGeometry& g, size_t slot, size_t m, const int16_t* blocks) {
  const size_t P = g.P;
  uint8_t* y = g.output + 16 * slot * P + 16 * m;
  const int16_t* luma = g.dequant[0].data();
  g.idct(blocks, luma, luma, y, y + 8, P);
  g.idct(blocks + 128, luma, luma, y + 8 * P, y + 8 * P + 8, P);
  const size_t chroma_at = 8 * slot * g.layout.chroma_stride + 8 * m;
  g.idct(blocks + 256, g.dequant[1].data(), g.dequant[2].data(),
         g.output + g.layout.cb_offset + chroma_at, g.output + g.layout.cr_offset + chroma_at,
         g.layout.chroma_stride);
}

// Gives Y line r the padding columns the planes would: in a plane of stride W each line's
// columns W..P-1 spill into the start of the next line, which overwrites them, so the output's
// padding columns of line r are the first P - W samples of line r + 1 (P - W < 16 <= W, so those
// are image columns). The last line keeps its own. In the chroma planes the same spill is
// overwritten by the line's own later writes (the 2x2 replication writes a top sample after
// the bottom ones it covers), so chroma needs no fix-up.
void take_padding_from_next_line(const RowGeometry& g, size_t r) {
  const size_t ring_lines = 16 * g.ring_rows;
  uint8_t* line = g.output + (r % ring_lines) * g.P;
  const uint8_t* next = g.output + ((r + 1) % ring_lines) * g.P;
  std::memcpy(line + g.W, next, g.P - g.W);
}

// The padding of the lines that are final once row R of rows is written: the last line of row
// R - 1 and all but the last of row R. Row R completed the last line of row R - 1, which goes to
// the consumer of final rows, if any, and so does the image's last row, final as it stands.
void finish_row(const RowGeometry& g, size_t R, size_t rows) {
  const size_t first = 16 * R;
  if (first > 0) take_padding_from_next_line(g, first - 1);
  for (size_t r = first; r < first + 15; ++r) take_padding_from_next_line(g, r);
  if (const RowStream* s = g.stream) {
    if (R > 0) s->row_final(s->self, static_cast<uint32_t>(R - 1));
    if (R + 1 == rows) s->row_final(s->self, static_cast<uint32_t>(R));
  }
}

}  // namespace

// Two threads over the rows: the caller's thread entropy-decodes row R into a slot of coefficient
// rows while the worker, in row order, transforms the rows before it into their slots of the
// output and finishes them: the padding columns (which need the next row's first line) and the
// hand-over of each final row to its consumer (the one-pass recode codes them there). So the
// entropy decoding runs on one thread; the inverse transform, the forward transform and the
// entropy coding on the other. Which side is heavier depends on the kernels the processor runs
// and on the word size, so where the worker is behind (it has not transformed row R - 1 yet)
// the caller's thread transforms row R itself, if the row's output slot is free: the slot of row
// R - ring_rows, free once that row was handed over, which finishing row R - ring_rows + 1 does.
// The worker writes a row's slot only after finishing the rows before it, so for it the slot is
// always free (ring_rows >= 2).
struct RowPipeline {
  using Clock = std::chrono::steady_clock;
  // Coefficient rows in flight: the caller's thread may run this many rows ahead of the worker's
  // transform.
  static constexpr uint32_t kCoefficientRows = 3;
  static constexpr size_t kMcuCoefficients = 6 * 64;
  // How long a thread that finds the other behind polls before it sleeps: about a row of a wide
  // image. Waking a sleeping thread costs tens of microseconds (more on a virtual machine),
  // and a cold process, whose rows run unevenly, waits often.
  static constexpr std::chrono::microseconds kPollFor{100};
  std::thread worker;
  std::mutex lock;  // for the sleeps on changed
  std::condition_variable changed;
  std::atomic<uint32_t> decoded{0};      // rows whose coefficients are in their slot
  std::atomic<uint32_t> transformed{0};  // rows transformed by the worker's turn (slots free)
  std::atomic<uint32_t> finished{0};     // rows the worker has finished and handed over
  std::atomic<bool> stopping{false};     // no further rows will be handed over
  // Per coefficient row: whether the caller's thread transformed it (set before decoded counts it).
  std::array<bool, kCoefficientRows> is_transformed{};
  uint32_t rows = 0;
  RowGeometry geometry{};
  std::unique_ptr<int16_t[]> coefficients;  // kCoefficientRows rows of mcu_columns MCUs
  Clock::time_point started = Clock::now();
  double decoder_waiting_s = 0;             // the caller's thread's alone
  double worker_waiting_s = 0;              // the worker's alone
  uint32_t rows_transformed_by_caller = 0;  // the caller's thread's alone

  static double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  }

  int16_t* coefficient_row(uint32_t row) const {
    return coefficients.get() + (row % kCoefficientRows) * geometry.mcu_columns * kMcuCoefficients;
  }

  // Returns once is_ready() holds: polling for a while, then asleep until the other thread's
  // next publish. Adds the time to waited.
  template <typename Ready>
  void wait_until(Ready is_ready, double& waited) {
    if (is_ready()) return;
    const Clock::time_point t = Clock::now();
    for (uint32_t polls = 1;; ++polls) {
#if defined(__i386__) || defined(__x86_64__)
      __builtin_ia32_pause();
#endif
      if (is_ready()) break;
      if (polls % 32 == 0 && Clock::now() - t > kPollFor) {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, is_ready);
        break;
      }
    }
    waited += since(t);
  }

  // Stores a counter's or flag's new value and wakes a sleeping thread. The store is made under
  // the lock so that a thread about to sleep (it tested under the lock) cannot miss it.
  template <typename T>
  void publish(std::atomic<T>& what, T value) {
    {
      const std::lock_guard<std::mutex> hold(lock);
      what.store(value, std::memory_order_release);
    }
    changed.notify_all();
  }

  void finish_rows() {
    for (uint32_t r = 0; r < rows; ++r) {
      wait_until(
          [&] {
            return decoded.load(std::memory_order_acquire) > r ||
                   stopping.load(std::memory_order_acquire);
          },
          worker_waiting_s);
      if (decoded.load(std::memory_order_acquire) <= r) return;
      if (!is_transformed[r % kCoefficientRows]) transform_row(r);
      publish(transformed, r + 1);
      finish_row(geometry, r, rows);
      finished.store(r + 1, std::memory_order_release);
    }
  }

  // Transforms row r from its coefficient row into its slot of the output.
  void transform_row(uint32_t r) const {
    const int16_t* row = coefficient_row(r);
    for (size_t m = 0; m < geometry.mcu_columns; ++m) {
      transform_mcu(geometry, r % geometry.ring_rows, m, row + m * kMcuCoefficients);
    }
  }

  // Whether the caller's thread should transform row R itself: the worker is behind and the
  // row's output slot is free.
  bool should_transform_here(uint32_t R) const {
    return transformed.load(std::memory_order_acquire) < R &&
           R + 2 <= finished.load(std::memory_order_acquire) + geometry.ring_rows;
  }
};

namespace {

// The processor the calling thread runs on, or -1 where that is not known.
int current_cpu() {
#if defined(__linux__)
  return sched_getcpu();
#elif defined(_WIN32)
  return static_cast<int>(GetCurrentProcessorNumber());
#else
  return -1;
#endif
}

// Keeps the calling thread (the worker) off the processor the caller's thread ran on when it
// started the worker, where the process may run on others. The scheduler may otherwise start
// the worker on the caller's processor and, as each thread wakes the other, keep the two taking
// turns there while another processor idles: on a 2-core virtual machine after a busy moment, a
// third of a 12 MP recode's time went so. The restriction is the worker's own and ends with it.
void keep_off_cpu(int cpu) {
#if defined(__linux__)
  cpu_set_t allowed;
  if (cpu < 0 || cpu >= CPU_SETSIZE || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  const auto index = static_cast<size_t>(cpu);
  if (!CPU_ISSET(index, &allowed) || CPU_COUNT(&allowed) < 2) return;
  CPU_CLR(index, &allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
#elif defined(_WIN32)
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (cpu < 0 || cpu >= static_cast<int>(8 * sizeof(DWORD_PTR)) ||
      GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) {
    return;
  }
  const DWORD_PTR others = process_mask & ~(DWORD_PTR{1} << cpu);
  if (others != 0 && others != process_mask) SetThreadAffinityMask(GetCurrentThread(), others);
#else
  (void)cpu;
#endif
}

// Starts the worker for this decode's rows; null when one thread is to do everything (small
// images, one core, or no memory or thread to be had: the results are the same either way).
RowPipeline* start_pipeline() {
  const DecoderState& d = g_decoder;
  if (d.plan.threads < 2 || d.mcu_rows < kMinRowsForTwoThreads || d.ring_rows < 2) return nullptr;
  auto* p = new (std::nothrow) RowPipeline;
  if (p == nullptr) return nullptr;
  p->rows = d.mcu_rows;
  p->geometry = row_geometry();
  p->coefficients.reset(new (std::nothrow)
                            int16_t[RowPipeline::kCoefficientRows * p->geometry.mcu_columns *
                                    RowPipeline::kMcuCoefficients]);
  if (p->coefficients != nullptr) {
    try {
      const int caller_cpu = current_cpu();
      p->worker = std::thread([p, caller_cpu] {
        keep_off_cpu(caller_cpu);
        p->finish_rows();
      });
      return p;
    } catch (...) {
    }
  }
  delete p;
  return nullptr;
}

// Decodes the row's MCUs and transforms them into its slot. Out of line: the caller's copy of
// the geometry and its clock values would make a 32-bit Windows build realign the stack of
// this loop, costing it a register.
[[gnu::noinline]] void decode_row_mcus(const RowGeometry& g, size_t output_slot) {
  DecoderState& d = g_decoder;
  for (size_t m = 0; m < d.mcu_columns; ++m) {
    decode_mcu_coefficients();
    transform_mcu(g, output_slot, m, d.coef_blocks[0].data());
  }
}

// Decodes row R's MCUs into its coefficient row for the worker, once the worker has transformed
// the row that was there.
void decode_row_for_worker(RowPipeline& p, uint32_t R) {
  p.wait_until(
      [&] {
        return R < p.transformed.load(std::memory_order_acquire) + RowPipeline::kCoefficientRows;
      },
      p.decoder_waiting_s);
  DecoderState& d = g_decoder;
  int16_t* row = p.coefficient_row(R);
  for (size_t m = 0; m < d.mcu_columns; ++m) {
    decode_mcu_coefficients();
    std::memcpy(row + m * RowPipeline::kMcuCoefficients, d.coef_blocks[0].data(),
                RowPipeline::kMcuCoefficients * sizeof(int16_t));
  }
  const bool here = p.should_transform_here(R);
  if (here) {
    p.transform_row(R);
    ++p.rows_transformed_by_caller;
  }
  p.is_transformed[R % RowPipeline::kCoefficientRows] = here;
  p.publish(p.decoded, R + 1);
}

void decode_mcu_row_direct() {
  DecoderState& d = g_decoder;
  const uint32_t R = d.mcu_row_index;
  if (R == 0) d.row_pipeline = start_pipeline();
  if (RowPipeline* p = d.row_pipeline) {
    decode_row_for_worker(*p, R);
  } else {
    const RowGeometry g = row_geometry();
    decode_row_mcus(g, R % g.ring_rows);
    finish_row(g, R, d.mcu_rows);
  }
  d.decoder_status = kProgressRowDecoded;
}

}  // namespace

void finish_mcu_rows() noexcept {
  RowPipeline* p = g_decoder.row_pipeline;
  if (p == nullptr) return;
  g_decoder.row_pipeline = nullptr;
  // Rows the entropy decoder never handed over (a decode that stopped early) are not waited for.
  p->publish(p->stopping, true);
  p->worker.join();
  g_last_pipeline_waits = {p->decoder_waiting_s, p->worker_waiting_s,
                           RowPipeline::since(p->started), p->rows, p->rows_transformed_by_caller};
  delete p;
}

RowPipelineWaits last_row_pipeline_waits() noexcept { return g_last_pipeline_waits; }

bool direct_rows_possible() noexcept {
  const DecoderState& d = g_decoder;
  const auto& rc = d.row_components;
  const bool rows_fill_image =
      16 * static_cast<uint64_t>(d.mcu_columns) == static_cast<uint32_t>(d.padded_width) &&
      16 * static_cast<uint64_t>(d.mcu_rows) == static_cast<uint32_t>(d.padded_height);
  return rows_fill_image && d.mcu_rows >= 1 && d.num_components == 3 && d.image_w >= 16 &&
         rc[0].index == 0 && rc[1].index == 1 && rc[2].index == 2 && rc[0].mcu_blocks_across == 2 &&
         rc[0].mcu_blocks_down == 2 && rc[1].mcu_blocks_across == 1 && rc[1].mcu_blocks_down == 1 &&
         rc[2].mcu_blocks_across == 1 && rc[2].mcu_blocks_down == 1;
}

void decode_mcu_row() noexcept {
  DecoderState& d = g_decoder;
  if (d.direct_output != nullptr) {
    decode_mcu_row_direct();
    return;
  }
  const size_t P = static_cast<size_t>(d.padded_width);
  const size_t W = static_cast<size_t>(d.image_w);
  const size_t R = d.mcu_row_index;
  const size_t components = static_cast<size_t>(d.num_components);
  const RowComponent& luma = d.row_components[0];
  const size_t chroma_stride = static_cast<size_t>(d.mcu_columns) * 8;
  const IdctKernel kernel = d.plan.is_simd ? idct_kernel(true) : nullptr;
  const Dequant16 dequant = kernel != nullptr ? dequant16() : Dequant16{};
  for (size_t m = 0; m < d.mcu_columns; ++m) {
    decode_mcu_coefficients();
    size_t n = 0;
    for (size_t c = 0; c < components; ++c) {
      const RowComponent& rc = d.row_components[c];
      for (size_t r = 0; r < rc.mcu_blocks_down; ++r) {
        for (size_t k = 0; k < rc.mcu_blocks_across; ++k) {
          uint8_t* samples = &d.mcu_samples[64 * (4 * rc.index + 2 * r + k)];
          if (kernel != nullptr) {
            kernel(d.coef_blocks[n].data(), dequant[c].data(), samples, 8);
          } else {
            idct_block(d.coef_blocks[n].data(), rc.dequant, samples);
          }
          ++n;
        }
      }
    }
    const size_t h = luma.mcu_blocks_across;
    for (size_t r = 0; r < luma.mcu_blocks_down; ++r) {
      for (size_t k = 0; k < h; ++k) {
        const uint8_t* block = &d.mcu_samples[64 * (2 * r + k)];
        for (size_t j = 0; j < 8; ++j) {
          std::memcpy(&d.luma_row_buffer[(8 * r + j) * P + m * 8 * h + 8 * k], block + 8 * j, 8);
        }
      }
    }
    if (components == 3) {
      for (size_t j = 0; j < 8; ++j) {
        std::memcpy(&d.chroma_row_buffer[j * chroma_stride + 8 * m], &d.mcu_samples[64 * 4 + 8 * j],
                    8);
        std::memcpy(&d.chroma_row_buffer[8 * P + j * chroma_stride + 8 * m],
                    &d.mcu_samples[64 * 8 + 8 * j], 8);
      }
    }
  }
  const size_t lines = luma.mcu_blocks_down == 1 ? 8 : 16;
  for (size_t j = 0; j < lines; ++j) {
    std::memcpy(&d.plane_y[(lines * R + j) * W], &d.luma_row_buffer[j * P], P);
  }
  if (components == 3 && d.sampling_layout == SamplingLayout::kYcbcr411) {
    const size_t half = P / 2;
    for (size_t i = 0; i < 8 * half; ++i) {
      const size_t y = 8 * R + i / half;
      const size_t x = i % half;
      const uint8_t a = d.chroma_row_buffer[i];
      const uint8_t b = d.chroma_row_buffer[8 * P + i];
      const size_t top = 2 * y * W + 2 * x;
      const size_t bottom = (2 * y + 1) * W + 2 * x;
      d.plane_cb[top] = a;
      d.plane_cb[top + 1] = a;
      d.plane_cb[bottom] = a;
      d.plane_cb[bottom + 1] = a;
      d.plane_cr[top] = b;
      d.plane_cr[top + 1] = b;
      d.plane_cr[bottom] = b;
      d.plane_cr[bottom + 1] = b;
    }
  }
  d.decoder_status = kProgressRowDecoded;
}

}  // namespace kestrum
