// SPDX-License-Identifier: MIT
// libjpeg (jpeglib.h) decode to YCbCr and the 2x2 area mean that brings chroma to 4:2:0, and the
// lossless transcode (coefficients read and written back) that fits a stream's Huffman tables, and
// the CMYK and YCCK recode (decoded and encoded by libjpeg in the stream's own colour space).
// libjpeg reports errors through error_exit, which must not return: it longjmps back to the one
// setjmp in run_decode (run_transcode, run_cmyk), a function that touches only the job through a
// pointer, so no automatic variable changed after setjmp is read after the jump. The progress
// monitor that counts scans leaves the same way. No C++ exception passes through libjpeg's frames:
// the buffers of our own are allocated by helpers that catch.
#include <algorithm>
#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <string>

#include "api/pipeline.h"
#include "common/jpeg_tables.h"
#include "common/planar_layout.h"
#include "encoder/quality.h"
#include "recode_any/foreign_decode.h"

extern "C" {
#include <jpeglib.h>
// jerror.h after jpeglib.h: the message codes.
#include <jerror.h>
}

namespace kestrum {
namespace {

std::atomic<uint64_t> g_frame_limit_px{kForeignFrameLimitPx};

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  int32_t status;  // RecodeStatus of the failure
  std::string message;
  char first_corrupt_data[JMSG_LENGTH_MAX];  // libjpeg's first warning of corrupt data, or ""
};

// Ends the decode with status and "libjpeg: <message>" (longjmp to run_decode's setjmp). The
// message string has room for any text (reserved by prepare), so nothing allocates here.
[[noreturn]] void abandon(ErrorManager* err, int32_t status, const char* message) {
  err->status = status;
  err->message = "libjpeg: ";
  err->message += message;
  std::longjmp(err->jump, 1);
}

void on_error(j_common_ptr info) {
  auto* err = reinterpret_cast<ErrorManager*>(info->err);
  char text[JMSG_LENGTH_MAX];
  info->err->format_message(info, text);
  const int code = info->err->msg_code;
  const int32_t status = code == JERR_NO_BACKING_STORE ? kErrFrameTooLarge
                         : code == JERR_OUT_OF_MEMORY  ? kErrNoMemory
                                                       : kErrCorruptStream;
  abandon(err, status, code == JERR_NO_BACKING_STORE ? "the frame needs more than 768 MiB" : text);
}
// Warnings are not printed; the first of those that tell of corrupt data libjpeg went past (data
// cut short, bad codes, bytes where a marker should be, restart markers lost) is kept: the image
// has damage there, as the library's decoder would report it.
void on_message(j_common_ptr info, int level) {
  if (level != -1) return;
  switch (info->err->msg_code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL: {
      auto* err = reinterpret_cast<ErrorManager*>(info->err);
      if (err->first_corrupt_data[0] == '\0')
        info->err->format_message(info, err->first_corrupt_data);
      break;
    }
    default:
      break;
  }
}

void on_progress(j_common_ptr info) {
  if (!info->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kForeignMaxScans) {
    abandon(reinterpret_cast<ErrorManager*>(info->err), kErrCorruptStream, "more than 100 scans");
  }
}
// 0 means no limit; a smaller one from the JPEGMEM environment variable is kept.
void limit_memory(j_common_ptr info) {
  if (info->mem->max_memory_to_use == 0 || info->mem->max_memory_to_use > kForeignMemoryBytes)
    info->mem->max_memory_to_use = kForeignMemoryBytes;
}

static_assert(kForeignMaxScans == 100 && kForeignMemoryBytes == 768L << 20,
              "the messages above give both");

// Routes the errors and warnings of the job's decompressor (and compressor, when given) to err.
void attach_errors(j_decompress_ptr d, j_compress_ptr c, ErrorManager* err) {
  d->err = jpeg_std_error(&err->base);
  if (c != nullptr) c->err = d->err;
  err->base.error_exit = on_error;
  err->base.emit_message = on_message;
}

// Creates the decompressor with the memory limit and the scan count, and reads the headers up to
// the first scan. Called after the caller's setjmp: libjpeg's errors jump back there.
void read_header(j_decompress_ptr d, jpeg_progress_mgr* progress, const uint8_t* data,
                 size_t size) {
  jpeg_create_decompress(d);
  limit_memory(reinterpret_cast<j_common_ptr>(d));
  progress->progress_monitor = on_progress;
  d->progress = progress;
  jpeg_mem_src(d, data, static_cast<unsigned long>(size));
  jpeg_read_header(d, TRUE);
}

// All state of one decode, owned by the caller so that nothing lives in run_decode's frame.
struct DecodeJob {
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool header_only = false;
  jpeg_decompress_struct info{};
  ErrorManager err{};
  jpeg_progress_mgr progress{};
  std::vector<uint8_t> rows;  // two decoded scanlines of width x out_color_components
  Planar420* out = nullptr;
  DecodeJob() = default;
  DecodeJob(const DecodeJob&) = delete;
  DecodeJob& operator=(const DecodeJob&) = delete;
  ~DecodeJob() { jpeg_destroy_decompress(&info); }  // frees libjpeg's memory; nothing when done
};

// The frame against the limit; false (status and message set) above it. Counted at the planes'
// size, rounded up to 16 in both directions.
bool frame_within_limit(const jpeg_decompress_struct& d, ErrorManager* err) noexcept {
  const uint64_t stride = (uint64_t{d.output_width} + 15) & ~uint64_t{15};
  const uint64_t rows = (uint64_t{d.output_height} + 15) & ~uint64_t{15};
  if (stride * rows <= g_frame_limit_px.load(std::memory_order_relaxed)) return true;
  err->status = kErrFrameTooLarge;
  try {
    err->message = "the frame (" + std::to_string(d.output_width) + " x " +
                   std::to_string(d.output_height) + ") is beyond the decoder's capacity";
  } catch (...) {
    err->message = "the frame is beyond the decoder's capacity";  // within the reserved room
  }
  return false;
}

// Sizes the planes and the scanline pair for the frame; false (status and message set) when the
// memory is not there.
bool allocate_output(DecodeJob* job) noexcept {
  const jpeg_decompress_struct& d = job->info;
  try {
    job->out->planes.assign(planar420_layout(d.output_width, d.output_height).total_bytes, 0);
    job->rows.assign(2 * size_t{d.output_width} * static_cast<size_t>(d.output_components), 0);
    return true;
  } catch (...) {
    job->err.status = kErrNoMemory;
    job->err.message = "no memory for the frame";  // within the reserved room
    return false;
  }
}

// Full-range JFIF equations, Q16 fixed point rounded half up (as libjpeg's jccolor.c).
void rgb_to_ycbcr(uint8_t* p) {
  constexpr int32_t kHalf = 1 << 15;
  const int32_t r = p[0], g = p[1], b = p[2];
  const int32_t y = (19595 * r + 38470 * g + 7471 * b + kHalf) >> 16;  // 0.299, 0.587, 0.114
  const int32_t cb = (-11059 * r - 21709 * g + 32768 * b + (128 << 16) + kHalf - 1) >>
                     16;  // -0.16874, -0.33126, 0.5
  const int32_t cr = (32768 * r - 27439 * g - 5329 * b + (128 << 16) + kHalf - 1) >>
                     16;  // 0.5, -0.41869, -0.08131
  p[0] = static_cast<uint8_t>(std::clamp(y, 0, 255));
  p[1] = static_cast<uint8_t>(std::clamp(cb, 0, 255));
  p[2] = static_cast<uint8_t>(std::clamp(cr, 0, 255));
}

// Stores scanline pair (top, bottom; the same row for an odd last line) as Y row(s) 2*pair_index
// (+1) and chroma row pair_index.
void store_pair(DecodeJob* job, const uint8_t* top, const uint8_t* bottom, size_t pair_index,
                bool has_bottom) {
  Planar420& o = *job->out;
  const size_t w = static_cast<size_t>(o.width_px);
  const Planar420Layout layout = planar420_layout(w, static_cast<size_t>(o.height_px));
  const size_t n = static_cast<size_t>(job->info.output_components);
  uint8_t* y0 = o.planes.data() + 2 * pair_index * layout.luma_stride;
  uint8_t* y1 = y0 + layout.luma_stride;
  uint8_t* cb = o.planes.data() + layout.cb_offset + pair_index * layout.chroma_stride;
  uint8_t* cr = o.planes.data() + layout.cr_offset + pair_index * layout.chroma_stride;
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
    cb[cx] =
        static_cast<uint8_t>((top[a + 1] + top[b + 1] + bottom[a + 1] + bottom[b + 1] + 2) / 4);
    cr[cx] =
        static_cast<uint8_t>((top[a + 2] + top[b + 2] + bottom[a + 2] + bottom[b + 2] + 2) / 4);
  }
}

// Repeats the last column and row of each plane up to the planes' size.
void pad_edges(Planar420* o) {
  const size_t w = static_cast<size_t>(o->width_px), h = static_cast<size_t>(o->height_px);
  const Planar420Layout l = planar420_layout(w, h);
  struct Plane {
    uint8_t* base;
    size_t used_w, used_h, stride, rows;
  };
  uint8_t* base = o->planes.data();
  const Plane planes[] = {
      {base, w, h, l.luma_stride, l.luma_rows},
      {base + l.cb_offset, (w + 1) / 2, (h + 1) / 2, l.chroma_stride, l.chroma_rows},
      {base + l.cr_offset, (w + 1) / 2, (h + 1) / 2, l.chroma_stride, l.chroma_rows}};
  for (const Plane& p : planes) {
    for (size_t y = 0; y < p.used_h; ++y) {
      uint8_t* row = p.base + y * p.stride;
      std::fill(row + p.used_w, row + p.stride, row[p.used_w - 1]);
    }
    for (size_t y = p.used_h; y < p.rows; ++y) {
      std::copy(p.base + (p.used_h - 1) * p.stride, p.base + p.used_h * p.stride,
                p.base + y * p.stride);
    }
  }
}

// Runs libjpeg; false with job->err's status and message set on failure. The caller's job
// releases libjpeg's memory on every path.
bool run_decode(DecodeJob* job) {
  jpeg_decompress_struct* d = &job->info;
  attach_errors(d, nullptr, &job->err);
  if (setjmp(job->err.jump) != 0) return false;
  read_header(d, &job->progress, job->data, job->size);
  if (job->header_only) return true;
  const bool is_rgb = d->jpeg_color_space == JCS_RGB;
  d->out_color_space = d->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE
                       : is_rgb                             ? JCS_RGB
                                                            : JCS_YCbCr;
  d->do_fancy_upsampling = FALSE;  // replication: the 2x2 mean is then the area mean
  d->dct_method = JDCT_ISLOW;
  jpeg_calc_output_dimensions(d);
  // Before jpeg_start_decompress, which reads every scan of a multi-scan stream.
  if (!frame_within_limit(*d, &job->err)) return false;
  jpeg_start_decompress(d);
  if (!allocate_output(job)) return false;
  Planar420& o = *job->out;
  o.width_px = static_cast<int32_t>(d->output_width);
  o.height_px = static_cast<int32_t>(d->output_height);
  const size_t w = d->output_width, h = d->output_height;
  const size_t row_bytes = w * static_cast<size_t>(d->output_components);
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
  pad_edges(&o);
  return true;
}

// A DecodeJob with room for any message, so that nothing allocates after a longjmp.
bool prepare(DecodeJob* job, const uint8_t* data, size_t size) noexcept {
  job->data = data;
  job->size = size;
  job->err.first_corrupt_data[0] = '\0';
  try {
    job->err.message.reserve(JMSG_LENGTH_MAX + 64);
    return true;
  } catch (...) {
    return false;
  }
}

// The compressor's destination: a growing vector. Growth that fails ends the transcode
// (JERR_OUT_OF_MEMORY) rather than throwing through libjpeg.
struct VectorDestination {
  jpeg_destination_mgr pub;
  std::vector<uint8_t>* out;
};

void grow_destination(j_compress_ptr info, size_t used_bytes) {
  auto* dest = reinterpret_cast<VectorDestination*>(info->dest);
  bool is_grown = true;
  try {
    dest->out->resize(std::max<size_t>(dest->out->size() * 2, 64 << 10));
  } catch (...) {
    is_grown = false;
  }
  if (!is_grown) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  dest->pub.next_output_byte = dest->out->data() + used_bytes;
  dest->pub.free_in_buffer = dest->out->size() - used_bytes;
}
void destination_start(j_compress_ptr info) {
  auto* dest = reinterpret_cast<VectorDestination*>(info->dest);
  dest->pub.next_output_byte = dest->out->data();
  dest->pub.free_in_buffer = dest->out->size();
}
// Called with the buffer full, whatever free_in_buffer says.
boolean destination_full(j_compress_ptr info) {
  grow_destination(info, reinterpret_cast<VectorDestination*>(info->dest)->out->size());
  return TRUE;
}
void destination_end(j_compress_ptr info) {
  auto* dest = reinterpret_cast<VectorDestination*>(info->dest);
  dest->out->resize(dest->out->size() - dest->pub.free_in_buffer);
}

void use_destination(j_compress_ptr c, VectorDestination* dest) {
  dest->pub.init_destination = destination_start;
  dest->pub.empty_output_buffer = destination_full;
  dest->pub.term_destination = destination_end;
  c->dest = &dest->pub;
}

// All state of one transcode, owned by the caller as DecodeJob is.
struct TranscodeJob {
  const uint8_t* data = nullptr;
  size_t size = 0;
  jpeg_decompress_struct in{};
  jpeg_compress_struct out{};
  ErrorManager err{};
  VectorDestination dest{};
  TranscodeJob() = default;
  TranscodeJob(const TranscodeJob&) = delete;
  TranscodeJob& operator=(const TranscodeJob&) = delete;
  ~TranscodeJob() {
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
  }
};

// Reads the coefficients and writes them back with tables fitted to them (optimize_coding), the
// restart interval and every APPn and COM segment in their order. false with job->err set.
bool run_transcode(TranscodeJob* job) {
  jpeg_decompress_struct* d = &job->in;
  jpeg_compress_struct* c = &job->out;
  attach_errors(d, c, &job->err);
  if (setjmp(job->err.jump) != 0) return false;
  jpeg_create_decompress(d);
  limit_memory(reinterpret_cast<j_common_ptr>(d));
  jpeg_mem_src(d, job->data, static_cast<unsigned long>(job->size));
  for (int m = 0; m < 16; ++m) jpeg_save_markers(d, JPEG_APP0 + m, 0xFFFF);
  jpeg_save_markers(d, JPEG_COM, 0xFFFF);
  jpeg_read_header(d, TRUE);
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(d);
  // A damaged stream's coefficients are libjpeg's guess, not the stream's: not transcoded.
  if (job->err.first_corrupt_data[0] != '\0') abandon(&job->err, kErrCorruptStream, "damaged");
  jpeg_create_compress(c);
  limit_memory(reinterpret_cast<j_common_ptr>(c));
  use_destination(c, &job->dest);
  jpeg_copy_critical_parameters(d, c);
  c->optimize_coding = TRUE;
  c->restart_interval = d->restart_interval;
  c->write_JFIF_header = FALSE;  // the saved APP0 and APP14 segments are written as they were
  c->write_Adobe_marker = FALSE;
  jpeg_write_coefficients(c, coefficients);
  for (jpeg_saved_marker_ptr m = d->marker_list; m != nullptr; m = m->next)
    jpeg_write_marker(c, m->marker, m->data, m->data_length);
  jpeg_finish_compress(c);
  jpeg_finish_decompress(d);
  return true;
}

// All state of one CMYK or YCCK recode, owned by the caller as DecodeJob is.
struct CmykJob {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int32_t quality = 0;
  jpeg_decompress_struct in{};
  jpeg_compress_struct out{};
  ErrorManager err{};
  jpeg_progress_mgr progress{};
  VectorDestination dest{};
  std::vector<uint8_t> row;  // one scanline of 4 samples a pixel
  bool is_ycck = false;
  CmykJob() = default;
  CmykJob(const CmykJob&) = delete;
  CmykJob& operator=(const CmykJob&) = delete;
  ~CmykJob() {
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
  }
};

// Sizes the scanline; false (status and message set) when the memory is not there.
bool allocate_row(CmykJob* job) noexcept {
  try {
    job->row.assign(4 * size_t{job->in.output_width}, 0);
    return true;
  } catch (...) {
    job->err.status = kErrNoMemory;
    job->err.message = "no memory for the frame";  // within the reserved room
    return false;
  }
}

// Slot 0 gets Table K.1 and slot 1 Table K.2, scaled at quality by the library's rule (entries
// 1..255, so libjpeg's scale of 100 keeps them as they are).
void add_scaled_tables(j_compress_ptr c, int32_t quality) {
  const std::array<int16_t, 64>* bases[2] = {&kBaseLumaQuant, &kBaseChromaQuant};
  for (int slot = 0; slot < 2; ++slot) {
    int16_t scaled[64];
    unsigned int table[64];
    scale_quant_table(bases[slot]->data(), scaled, quality);
    for (size_t i = 0; i < 64; ++i) table[i] = static_cast<unsigned int>(scaled[i]);
    jpeg_add_quant_table(c, slot, table, 100, TRUE);
  }
}

// Decodes the stream scanline by scanline into the compressor; false with job->err set.
bool run_cmyk(CmykJob* job) {
  jpeg_decompress_struct* d = &job->in;
  jpeg_compress_struct* c = &job->out;
  attach_errors(d, c, &job->err);
  if (setjmp(job->err.jump) != 0) return false;
  read_header(d, &job->progress, job->data, job->size);
  // libjpeg's reading: Adobe transform 2 is YCCK, transform 0 or no Adobe segment CMYK.
  if (d->num_components != 4 ||
      (d->jpeg_color_space != JCS_CMYK && d->jpeg_color_space != JCS_YCCK))
    abandon(&job->err, kErrSource, "not a CMYK or YCCK frame");
  job->is_ycck = d->jpeg_color_space == JCS_YCCK;
  d->out_color_space = d->jpeg_color_space;
  d->do_fancy_upsampling = FALSE;  // replication: the encoder's box filter gives the samples back
  d->dct_method = JDCT_ISLOW;
  jpeg_calc_output_dimensions(d);
  if (!frame_within_limit(*d, &job->err)) return false;
  jpeg_start_decompress(d);
  if (!allocate_row(job)) return false;
  jpeg_create_compress(c);
  limit_memory(reinterpret_cast<j_common_ptr>(c));
  use_destination(c, &job->dest);
  c->image_width = d->output_width;
  c->image_height = d->output_height;
  c->input_components = 4;
  c->in_color_space = d->jpeg_color_space;
  jpeg_set_defaults(c);
  // Also sets write_Adobe_marker (transform 0 for CMYK, 2 for YCCK) and clears write_JFIF_header.
  jpeg_set_colorspace(c, d->jpeg_color_space);
  for (int ci = 0; ci < 4; ++ci) {
    c->comp_info[ci].h_samp_factor = d->comp_info[ci].h_samp_factor;
    c->comp_info[ci].v_samp_factor = d->comp_info[ci].v_samp_factor;
  }
  add_scaled_tables(c, job->quality);
  c->dct_method = JDCT_ISLOW;
  jpeg_start_compress(c, TRUE);
  while (d->output_scanline < d->output_height) {
    JSAMPROW line = job->row.data();
    jpeg_read_scanlines(d, &line, 1);
    jpeg_write_scanlines(c, &line, 1);
  }
  jpeg_finish_compress(c);
  jpeg_finish_decompress(d);
  return true;
}

// Room for any message, and out sized about as the stream (grown by destination_full when
// short); false when the memory is not there.
bool prepare_output(ErrorManager* err, size_t size, std::vector<uint8_t>* out) noexcept {
  err->first_corrupt_data[0] = '\0';
  try {
    err->message.reserve(JMSG_LENGTH_MAX + 64);
    out->assign(size + size / 8 + 1024, 0);
    return true;
  } catch (...) {
    return false;
  }
}

// A job's result: 0 with libjpeg's first warning of corrupt data in corrupt_data (when given),
// or its status with its message in error.
int32_t job_outcome(bool is_done, const ErrorManager& err, std::string* error,
                    std::string* corrupt_data) noexcept {
  if (is_done) {
    try {
      if (corrupt_data != nullptr) *corrupt_data = err.first_corrupt_data;
    } catch (...) {
      return kErrNoMemory;
    }
    return kRecodeOk;
  }
  try {
    *error = err.message;
  } catch (...) {
    error->clear();
  }
  return err.status;
}

// Runs a job that writes a JPEG from data into out, which is left empty when the job fails.
template <typename Job>
int32_t run_writing_job(Job& job, const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                        bool (*run)(Job*), std::string* error, std::string* corrupt_data) {
  job.data = data;
  job.size = size;
  job.dest.out = out;
  if (!prepare_output(&job.err, size, out)) return kErrNoMemory;
  const bool is_done = run(&job);
  if (!is_done) out->clear();
  return job_outcome(is_done, job.err, error, corrupt_data);
}

}  // namespace

bool has_foreign_decoder() noexcept { return true; }

bool foreign_reads_header(const uint8_t* data, size_t size) noexcept {
  DecodeJob job;
  job.header_only = true;
  return prepare(&job, data, size) && run_decode(&job);
}

int32_t foreign_decode_420(const uint8_t* data, size_t size, Planar420* out, std::string* error,
                           std::string* corrupt_data) noexcept {
  DecodeJob job;
  job.out = out;
  if (!prepare(&job, data, size)) return kErrNoMemory;
  return job_outcome(run_decode(&job), job.err, error, corrupt_data);
}

int32_t foreign_optimize_huffman(const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                                 std::string* error) noexcept {
  TranscodeJob job;
  return run_writing_job(job, data, size, out, run_transcode, error, nullptr);
}

int32_t foreign_recode_cmyk(const uint8_t* data, size_t size, int32_t quality,
                            std::vector<uint8_t>* out, bool* is_ycck, std::string* error,
                            std::string* corrupt_data) noexcept {
  CmykJob job;
  job.quality = quality;
  const int32_t status = run_writing_job(job, data, size, out, run_cmyk, error, corrupt_data);
  *is_ycck = job.is_ycck;
  return status;
}

void set_foreign_frame_limit_px(uint64_t frame_px) noexcept {
  g_frame_limit_px.store(
      frame_px == 0 || frame_px > kForeignFrameLimitPx ? kForeignFrameLimitPx : frame_px,
      std::memory_order_relaxed);
}

}  // namespace kestrum
