// SPDX-License-Identifier: MIT
// libjpeg (jpeglib.h) decode to YCbCr and the 2x2 area mean that brings chroma to 4:2:0.
// libjpeg reports errors through error_exit, which must not return: it longjmps back to the one
// setjmp in run_decode, a function that touches only the job through a pointer, so no automatic
// variable changed after setjmp is read after the jump.
#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include "recode_any/foreign_decode.h"

extern "C" {
#include <jpeglib.h>
}

namespace kestrum {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr info) {
  auto* err = reinterpret_cast<ErrorManager*>(info->err);
  info->err->format_message(info, err->message);
  std::longjmp(err->jump, 1);
}
void on_message(j_common_ptr, int) {}  // warnings (corrupt data libjpeg recovers from) are not printed

// All state of one decode, owned by the caller so that nothing lives in run_decode's frame.
struct DecodeJob {
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool header_only = false;
  jpeg_decompress_struct info{};
  ErrorManager err{};
  std::vector<uint8_t> rows;  // two decoded scanlines of width x out_color_components
  Planar420* out = nullptr;
};

// Full-range JFIF equations, Q16 fixed point rounded half up (as libjpeg's jccolor.c).
void rgb_to_ycbcr(uint8_t* p) {
  constexpr int32_t kHalf = 1 << 15;
  const int32_t r = p[0], g = p[1], b = p[2];
  const int32_t y = (19595 * r + 38470 * g + 7471 * b + kHalf) >> 16;                       // 0.299, 0.587, 0.114
  const int32_t cb = (-11059 * r - 21709 * g + 32768 * b + (128 << 16) + kHalf - 1) >> 16;  // -0.16874, -0.33126, 0.5
  const int32_t cr = (32768 * r - 27439 * g - 5329 * b + (128 << 16) + kHalf - 1) >> 16;    // 0.5, -0.41869, -0.08131
  p[0] = static_cast<uint8_t>(std::clamp(y, 0, 255));
  p[1] = static_cast<uint8_t>(std::clamp(cb, 0, 255));
  p[2] = static_cast<uint8_t>(std::clamp(cr, 0, 255));
}

// Stores scanline pair (top, bottom; the same row for an odd last line) as Y row(s) 2*pair_index
// (+1) and chroma row pair_index.
void store_pair(DecodeJob* job, const uint8_t* top, const uint8_t* bottom, size_t pair_index, bool has_bottom) {
  Planar420& o = *job->out;
  const size_t w = static_cast<size_t>(o.width_px);
  const size_t stride = (w + 15) & ~size_t{15};
  const size_t rows = (static_cast<size_t>(o.height_px) + 15) & ~size_t{15};
  const size_t n = static_cast<size_t>(job->info.output_components);
  uint8_t* y0 = o.planes.data() + 2 * pair_index * stride;
  uint8_t* y1 = y0 + stride;
  uint8_t* cb = o.planes.data() + stride * rows + pair_index * (stride / 2);
  uint8_t* cr = cb + (stride / 2) * (rows / 2);
  for (size_t x = 0; x < w; ++x) {
    y0[x] = top[x * n];
    if (has_bottom) y1[x] = bottom[x * n];
  }
  for (size_t cx = 0; cx < (w + 1) / 2; ++cx) {
    const size_t a = 2 * cx * n;
    const size_t b = std::min(2 * cx + 1, w - 1) * n;
    if (n == 1) {
      cb[cx] = cr[cx] = 128;
      continue;
    }
    cb[cx] = static_cast<uint8_t>((top[a + 1] + top[b + 1] + bottom[a + 1] + bottom[b + 1] + 2) / 4);
    cr[cx] = static_cast<uint8_t>((top[a + 2] + top[b + 2] + bottom[a + 2] + bottom[b + 2] + 2) / 4);
  }
}

// Repeats the last column and row of each plane up to the planes' size.
void pad_edges(Planar420* o) {
  const size_t w = static_cast<size_t>(o->width_px), h = static_cast<size_t>(o->height_px);
  const size_t stride = (w + 15) & ~size_t{15}, rows = (h + 15) & ~size_t{15};
  struct Plane {
    uint8_t* base;
    size_t used_w, used_h, stride, rows;
  };
  uint8_t* cb = o->planes.data() + stride * rows;
  const Plane planes[] = {{o->planes.data(), w, h, stride, rows},
                          {cb, (w + 1) / 2, (h + 1) / 2, stride / 2, rows / 2},
                          {cb + (stride / 2) * (rows / 2), (w + 1) / 2, (h + 1) / 2, stride / 2, rows / 2}};
  for (const Plane& p : planes) {
    for (size_t y = 0; y < p.used_h; ++y) {
      uint8_t* row = p.base + y * p.stride;
      std::fill(row + p.used_w, row + p.stride, row[p.used_w - 1]);
    }
    for (size_t y = p.used_h; y < p.rows; ++y) {
      std::copy(p.base + (p.used_h - 1) * p.stride, p.base + p.used_h * p.stride, p.base + y * p.stride);
    }
  }
}

bool run_decode(DecodeJob* job) {
  jpeg_decompress_struct* d = &job->info;
  d->err = jpeg_std_error(&job->err.base);
  job->err.base.error_exit = on_error;
  job->err.base.emit_message = on_message;
  if (setjmp(job->err.jump) != 0) {
    jpeg_destroy_decompress(d);
    return false;
  }
  jpeg_create_decompress(d);
  jpeg_mem_src(d, job->data, static_cast<unsigned long>(job->size));
  jpeg_read_header(d, TRUE);
  if (job->header_only) {
    jpeg_destroy_decompress(d);
    return true;
  }
  const bool is_rgb = d->jpeg_color_space == JCS_RGB;
  d->out_color_space = d->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : is_rgb ? JCS_RGB : JCS_YCbCr;
  d->do_fancy_upsampling = FALSE;  // replication: the 2x2 mean is then the area mean
  d->dct_method = JDCT_ISLOW;
  jpeg_start_decompress(d);
  Planar420& o = *job->out;
  o.width_px = static_cast<int32_t>(d->output_width);
  o.height_px = static_cast<int32_t>(d->output_height);
  const size_t w = d->output_width, h = d->output_height;
  const size_t stride = (w + 15) & ~size_t{15}, rows = (h + 15) & ~size_t{15};
  o.planes.assign(stride * rows + 2 * (stride / 2) * (rows / 2), 0);
  const size_t row_bytes = w * static_cast<size_t>(d->output_components);
  job->rows.assign(2 * row_bytes, 0);
  for (size_t pair = 0; 2 * pair < h; ++pair) {
    JSAMPROW lines[2] = {job->rows.data(), job->rows.data() + row_bytes};
    const bool has_bottom = 2 * pair + 1 < h;
    jpeg_read_scanlines(d, &lines[0], 1);
    if (has_bottom) jpeg_read_scanlines(d, &lines[1], 1);
    if (is_rgb) {
      for (size_t i = 0; i < (has_bottom ? 2 : 1) * w; ++i) rgb_to_ycbcr(job->rows.data() + 3 * i);
    }
    store_pair(job, lines[0], has_bottom ? lines[1] : lines[0], pair, has_bottom);
  }
  jpeg_finish_decompress(d);
  jpeg_destroy_decompress(d);
  pad_edges(&o);
  return true;
}

}  // namespace

bool has_foreign_decoder() noexcept { return true; }

bool foreign_reads_header(const uint8_t* data, size_t size) noexcept {
  try {
    DecodeJob job;
    job.data = data;
    job.size = size;
    job.header_only = true;
    return run_decode(&job);
  } catch (...) {
    return false;
  }
}

bool foreign_decode_420(const uint8_t* data, size_t size, Planar420* out, std::string* error) {
  DecodeJob job;
  job.data = data;
  job.size = size;
  job.out = out;
  if (run_decode(&job)) return true;
  *error = std::string("libjpeg: ") + job.err.message;
  return false;
}

}  // namespace kestrum
