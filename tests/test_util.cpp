// SPDX-License-Identifier: MIT
#include "test_util.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <utility>

#include "../fuzz/libjpeg_errors.h"
#include "api/pipeline.h"
#include "api/process_state.h"
#include "common/code_path.h"
#include "common/planar_layout.h"
#include "decoder/decode_driver.h"
#include "platform/console_log.h"

namespace kestrum::test {

std::vector<uint8_t> photo_rgb(int width, int height, uint32_t seed, int noise) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> jitter(-noise, noise);
  const double fx = 6.2831853 / (width > 1 ? width : 1);
  const double fy = 6.2831853 / (height > 1 ? height : 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double sky = 0.5 + 0.5 * std::sin(fx * x * 1.5 + seed) * std::cos(fy * y * 0.7);
      const bool disc = (x - width / 3) * (x - width / 3) + (y - height / 2) * (y - height / 2) <
                        (width * height) / 16;
      const bool bar = ((x / 23) + (y / 31)) % 7 == 0;
      int r = static_cast<int>(60 + 150 * sky);
      int g = static_cast<int>(90 + 100 * std::cos(fy * y + seed * 0.3));
      int b = static_cast<int>(170 - 80 * sky);
      if (disc) r = 220, g = 180 - (y % 40), b = 40;
      if (bar) r /= 2, g /= 2, b /= 2;
      const int n = noise > 0 ? jitter(rng) : 0;
      uint8_t* p =
          &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(r + n, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g + n, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(b - n, 0, 255));
    }
  }
  return rgb;
}

namespace {

// Runs read on a decompressor that has read the stream's header, then destroys it. False when
// libjpeg fails on the way (its errors jump back here) or read returns false; warnings (when not
// null) receives the number of libjpeg's warnings.
template <typename Read>
bool read_with_libjpeg(const Bytes& jpeg, int* warnings, Read read) {
  jpeg_decompress_struct d{};
  LibjpegErrors err{};
  d.err = err.manager();
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  const bool is_read = read(d);
  jpeg_destroy_decompress(&d);
  if (warnings != nullptr) *warnings = err.warnings;
  return is_read;
}

// Decompresses to space, every scanline into samples (the output's components a pixel).
void read_scanlines(jpeg_decompress_struct& d, J_COLOR_SPACE space, std::vector<uint8_t>* samples) {
  d.out_color_space = space;
  jpeg_start_decompress(&d);
  const size_t stride = size_t{d.output_width} * static_cast<size_t>(d.output_components);
  samples->assign(stride * d.output_height, 0);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = &(*samples)[d.output_scanline * stride];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
}

// Compresses samples (components a pixel, in_space) with libjpeg after set_up has set the
// compressor's parameters (defaults already set); empty when libjpeg fails.
template <typename SetUp>
Bytes write_with_libjpeg(const std::vector<uint8_t>& samples, int width, int height, int components,
                         J_COLOR_SPACE in_space, SetUp set_up) {
  jpeg_compress_struct c{};
  LibjpegErrors err{};
  c.err = err.manager();
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&c);
    std::free(out);
    return {};
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &out, &out_size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = components;
  c.in_color_space = in_space;
  jpeg_set_defaults(&c);
  set_up(c);
  jpeg_start_compress(&c, TRUE);
  const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(components);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&samples[c.next_scanline * stride]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes result(out, out + out_size);
  std::free(out);
  return result;
}

// The width x height area at the start of a plane of stride columns.
std::vector<uint8_t> crop(const uint8_t* plane, size_t stride, size_t width, size_t height) {
  std::vector<uint8_t> area(width * height);
  for (size_t r = 0; r < height; ++r) std::memcpy(&area[r * width], plane + r * stride, width);
  return area;
}

bool reserve_vector(ImageBuffer& image, size_t bytes) {
  auto* v = static_cast<std::vector<uint8_t>*>(image.owner);
  v->assign(bytes, 0xEE);
  image.data = v->data();
  image.capacity_bytes = bytes;
  return true;
}

// The first segment with this marker; an empty one at offset 0 when there is none.
Segment first_segment(const Bytes& jpeg, uint8_t marker) {
  const std::vector<Segment> all = split_segments(jpeg);
  const auto found = std::ranges::find(all, marker, &Segment::marker);
  return found == all.end() ? Segment{} : *found;
}

}  // namespace

JpegOptions baseline_options(int quality, int restart_rows, int restart_mcus, bool optimize) {
  return {.quality = quality,
          .restart_rows = restart_rows,
          .restart_mcus = restart_mcus,
          .optimize = optimize};
}

JpegOptions layout_options(int h0, int v0, int components, bool progressive, bool arithmetic) {
  return {.h0 = h0,
          .v0 = v0,
          .components = components,
          .progressive = progressive,
          .arithmetic = arithmetic};
}

Bytes libjpeg_encode(const std::vector<uint8_t>& rgb, int width, int height,
                     const JpegOptions& options) {
  return write_with_libjpeg(rgb, width, height, 3, JCS_RGB, [&](jpeg_compress_struct& c) {
    if (options.components == 1) jpeg_set_colorspace(&c, JCS_GRAYSCALE);
    if (options.rgb) jpeg_set_colorspace(&c, JCS_RGB);
    jpeg_set_quality(&c, options.quality, options.wide_tables ? FALSE : TRUE);
    c.comp_info[0].h_samp_factor = options.h0;
    c.comp_info[0].v_samp_factor = options.v0;
    c.optimize_coding = options.optimize ? TRUE : FALSE;
    c.arith_code = options.arithmetic ? TRUE : FALSE;
    c.restart_in_rows = options.restart_rows;
    c.restart_interval = static_cast<unsigned int>(options.restart_mcus);
    c.dct_method = JDCT_ISLOW;
    if (options.progressive) jpeg_simple_progression(&c);
  });
}

bool libjpeg_decode_raw(const Bytes& jpeg, RawPlanes* out) {
  std::vector<uint8_t> py;
  const bool is_read = read_with_libjpeg(jpeg, &out->warnings, [&](jpeg_decompress_struct& d) {
    if (d.num_components != 3 || d.comp_info[0].h_samp_factor != 2 ||
        d.comp_info[0].v_samp_factor != 2)
      return false;
    d.raw_data_out = TRUE;
    d.dct_method = JDCT_ISLOW;
    d.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&d);
    out->width = static_cast<int>(d.image_width);
    out->height = static_cast<int>(d.image_height);
    const Planar420Layout l = planar420_layout(d.image_width, d.image_height);
    out->padded_cw = static_cast<int>(l.chroma_stride);
    out->padded_ch = static_cast<int>(l.chroma_rows);
    py.assign(l.cb_offset, 0);
    out->padded_cb.assign(l.cr_offset - l.cb_offset, 0);
    out->padded_cr.assign(l.cr_offset - l.cb_offset, 0);
    while (d.output_scanline < d.output_height) {
      JSAMPROW yrows[16], cbrows[8], crrows[8];
      const size_t base = d.output_scanline;
      for (size_t i = 0; i < 16; ++i) yrows[i] = &py[(base + i) * l.luma_stride];
      for (size_t i = 0; i < 8; ++i) {
        cbrows[i] = &out->padded_cb[(base / 2 + i) * l.chroma_stride];
        crrows[i] = &out->padded_cr[(base / 2 + i) * l.chroma_stride];
      }
      JSAMPARRAY planes[3] = {yrows, cbrows, crrows};
      jpeg_read_raw_data(&d, planes, 16);
    }
    jpeg_finish_decompress(&d);
    return true;
  });
  if (!is_read) return false;
  out->cw = (out->width + 1) / 2;
  out->ch = (out->height + 1) / 2;
  const auto w = static_cast<size_t>(out->width), h = static_cast<size_t>(out->height);
  const auto cw = static_cast<size_t>(out->cw), ch = static_cast<size_t>(out->ch);
  const auto pcw = static_cast<size_t>(out->padded_cw);
  out->y = crop(py.data(), pcw * 2, w, h);
  out->cb = crop(out->padded_cb.data(), pcw, cw, ch);
  out->cr = crop(out->padded_cr.data(), pcw, cw, ch);
  return true;
}

// The tables as libjpeg writes them into a stream of its own at that quality.
bool libjpeg_quality_tables(int quality, QuantTables* out) {
  return libjpeg_read_quant_tables(libjpeg_encode(photo_rgb(8, 8), 8, 8, baseline_options(quality)),
                                   out);
}

bool libjpeg_read_quant_tables(const Bytes& jpeg, QuantTables* out) {
  return read_with_libjpeg(jpeg, nullptr, [out](jpeg_decompress_struct& d) {
    if (d.quant_tbl_ptrs[0] == nullptr || d.quant_tbl_ptrs[1] == nullptr) return false;
    for (size_t slot = 0; slot < 2; ++slot)
      std::copy_n(d.quant_tbl_ptrs[slot]->quantval, 64, (*out)[slot].begin());
    return true;
  });
}

bool libjpeg_decode_rgb(const Bytes& jpeg, std::vector<uint8_t>* rgb, int* width, int* height,
                        int* warnings) {
  return read_with_libjpeg(jpeg, warnings, [&](jpeg_decompress_struct& d) {
    read_scanlines(d, JCS_RGB, rgb);
    *width = static_cast<int>(d.output_width);
    *height = static_cast<int>(d.output_height);
    return true;
  });
}

Bytes libjpeg_encode_cmyk(const std::vector<uint8_t>& cmyk, int width, int height,
                          const CmykOptions& o) {
  return write_with_libjpeg(cmyk, width, height, 4, JCS_CMYK, [&](jpeg_compress_struct& c) {
    jpeg_set_colorspace(&c, o.is_ycck ? JCS_YCCK : JCS_CMYK);
    jpeg_set_quality(&c, o.quality, TRUE);
    c.write_Adobe_marker = o.has_adobe ? TRUE : FALSE;
    for (int ci = 0; ci < 4; ++ci) {
      c.comp_info[ci].h_samp_factor = o.h[ci];
      c.comp_info[ci].v_samp_factor = o.v[ci];
    }
    if (o.progressive) jpeg_simple_progression(&c);
  });
}

CmykDecode libjpeg_decode_cmyk(const Bytes& jpeg) {
  CmykDecode out;
  out.is_ok = read_with_libjpeg(jpeg, &out.warnings, [&](jpeg_decompress_struct& d) {
    if (d.num_components != 4) return false;
    out.space = d.jpeg_color_space;
    out.has_adobe = d.saw_Adobe_marker != 0;
    out.adobe_transform = d.saw_Adobe_marker ? d.Adobe_transform : -1;
    out.has_jfif = d.saw_JFIF_marker != 0;
    for (int ci = 0; ci < 4; ++ci) {
      out.h[ci] = d.comp_info[ci].h_samp_factor;
      out.v[ci] = d.comp_info[ci].v_samp_factor;
    }
    read_scanlines(d, JCS_CMYK, &out.cmyk);
    out.width = static_cast<int>(d.output_width);
    out.height = static_cast<int>(d.output_height);
    return true;
  });
  return out.is_ok ? out : CmykDecode{};
}

double channel_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t channel) {
  std::vector<uint8_t> ca, cb;
  for (size_t i = channel; i < a.size() && i < b.size(); i += 4) {
    ca.push_back(a[i]);
    cb.push_back(b[i]);
  }
  return psnr(ca.data(), cb.data(), ca.size());
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

ConsoleCapture::ConsoleCapture() { set_console_sink(&ConsoleCapture::sink, this); }
ConsoleCapture::~ConsoleCapture() { set_console_sink(nullptr, nullptr); }
void ConsoleCapture::sink(const char* text, void* self) {
  static_cast<ConsoleCapture*>(self)->text_ += text;
}

TempDir::TempDir() {
  static int counter = 0;
  const auto base = std::filesystem::temp_directory_path();
  std::random_device rd;
  std::filesystem::path candidate;
  std::error_code ec;
  do {
    candidate = base / ("kestrum-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
  } while (!std::filesystem::create_directory(candidate, ec));
  root_ = candidate.string();
}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}
std::string TempDir::path(const std::string& name) const {
  return (std::filesystem::path(root_) / name).string();
}
std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool write_file(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}
bool read_file(const std::string& path, Bytes* data) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  data->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}
bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::vector<Segment> split_segments(const Bytes& j) {
  const auto is_restart = [](uint8_t m) { return m >= 0xD0 && m <= 0xD7; };
  std::vector<Segment> out;
  for (size_t i = 0; i + 1 < j.size();) {
    const uint8_t m = j[i + 1];
    if (j[i] != 0xFF || m == 0xFF) {
      ++i;
      continue;
    }
    Segment s{m, i, j.size() - i};
    if (m == 0xD8 || m == 0xD9 || is_restart(m) || m == 0x01) {
      s.length = 2;
    } else if (i + 3 < j.size()) {
      s.length = 2 + (size_t{j[i + 2]} << 8 | j[i + 3]);
      if (m == 0xDA) {  // extend over the entropy data up to the next non-RST marker
        size_t k = i + s.length;
        while (k + 1 < j.size() && !(j[k] == 0xFF && j[k + 1] != 0 && !is_restart(j[k + 1]))) ++k;
        s.length = k - i;
      }
    }
    out.push_back(s);
    i += s.length;
  }
  return out;
}

size_t scan_data_offset(const Bytes& jpeg) {
  const Segment s = first_segment(jpeg, 0xDA);
  if (s.length == 0 || s.offset + 4 > jpeg.size()) return 0;
  return s.offset + 2 + (size_t{jpeg[s.offset + 2]} << 8 | jpeg[s.offset + 3]);
}

std::vector<size_t> restart_offsets(const Bytes& jpeg) {
  std::vector<size_t> found;
  for (size_t i = scan_data_offset(jpeg); i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7) found.push_back(i);
  }
  return found;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

OurDecode decode_ours(const Bytes& jpeg) { return decode_ours(jpeg, requested_recode_plan()); }

int32_t recode_in_memory(const Bytes& source, int32_t quality, Bytes* out) {
  EncodedStream stream;
  const int32_t status =
      recode_memory(source.data(), static_cast<uint32_t>(source.size()), quality, &stream);
  if (status == 0) out->assign(stream.data, stream.data + stream.length);
  release_stream(stream);
  return status;
}

OurDecode decode_ours(const Bytes& jpeg, const RecodePlan& plan) {
  OurDecode r;
  ImageBuffer buffer{nullptr, 0, reserve_vector, &r.image};
  ConsoleCapture capture;
  r.status = decode_jpeg_memory(jpeg.data(), static_cast<uint32_t>(jpeg.size()), &r.width,
                                &r.height, buffer, plan);
  r.log = capture.text();
  return r;
}

double PlaneAgreement::psnr_min() const { return std::min({psnr_y, psnr_cb, psnr_cr}); }

PlaneAgreement compare_planes_with_libjpeg(const Bytes& jpeg, const OurDecode& ours) {
  PlaneAgreement a;
  RawPlanes ref;
  if (!libjpeg_decode_raw(jpeg, &ref) || ours.width != ref.width || ours.height != ref.height ||
      ours.image.size() < planar_image_bytes(ours.width, ours.height)) {
    a.max_diff = 256;  // no picture to compare: fails every bound
    return a;
  }
  const auto w = static_cast<size_t>(ref.width), h = static_cast<size_t>(ref.height);
  const auto cw = static_cast<size_t>(ref.cw), ch = static_cast<size_t>(ref.ch);
  const Planar420Layout l = planar420_layout(w, h);
  const uint8_t* image = ours.image.data();
  const std::vector<uint8_t> y = crop(image, l.luma_stride, w, h);
  const std::vector<uint8_t> cb = crop(image + l.cb_offset, l.chroma_stride, cw, ch);
  const std::vector<uint8_t> cr = crop(image + l.cr_offset, l.chroma_stride, cw, ch);
  for (const auto& [p, q] : {std::pair{&y, &ref.y}, {&cb, &ref.cb}, {&cr, &ref.cr}}) {
    for (size_t i = 0; i < p->size(); ++i)
      a.max_diff = std::max(a.max_diff, std::abs((*p)[i] - (*q)[i]));
  }
  a.psnr_y = psnr(y.data(), ref.y.data(), y.size());
  a.psnr_cb = psnr(cb.data(), ref.cb.data(), cb.size());
  a.psnr_cr = psnr(cr.data(), ref.cr.data(), cr.size());
  return a;
}

Bytes with_segments(const Bytes& jpeg, const Bytes& segments) {
  const std::vector<Segment> parts = split_segments(jpeg);
  const size_t at =
      parts.size() > 1 && parts[1].marker == 0xE0 ? parts[1].offset + parts[1].length : 2;
  Bytes out = jpeg;
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), segments.begin(), segments.end());
  return out;
}

Bytes segment(uint8_t marker, const Bytes& body) {
  // Sized first and filled in place: GCC 12 at -O2 takes an initializer list followed by an
  // insert for a read past the list (-Wstringop-overread).
  const size_t length = body.size() + 2;
  Bytes s(length + 2);
  s[0] = 0xFF;
  s[1] = marker;
  s[2] = static_cast<uint8_t>(length >> 8);
  s[3] = static_cast<uint8_t>(length);
  if (!body.empty()) std::memcpy(s.data() + 4, body.data(), body.size());
  return s;
}

// Little-endian TIFF.
Bytes exif_segment(uint16_t orientation, const Bytes& trailer) {
  const auto o = [orientation](int shift) { return static_cast<uint8_t>(orientation >> shift); };
  // clang-format off
  Bytes body = {'E', 'x', 'i', 'f', 0, 0,
                'I', 'I', 42, 0, 8, 0, 0, 0,       // TIFF header, IFD0 at 8
                1, 0,                              // one entry
                0x12, 0x01, 3, 0, 1, 0, 0, 0,      // 0x0112 SHORT x1
                o(0), o(8), 0, 0,
                0, 0, 0, 0};                       // no next IFD
  // clang-format on
  body.insert(body.end(), trailer.begin(), trailer.end());
  return segment(0xE1, body);
}

Bytes icc_segment() {
  Bytes body = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
  for (int i = 0; i < 300; ++i) body.push_back(static_cast<uint8_t>(i * 7));
  return segment(0xE2, body);
}

int exif_orientation(const Bytes& jpeg) {
  for (const Segment& s : split_segments(jpeg)) {
    const uint8_t* b = jpeg.data() + s.offset + 4;
    if (s.marker != 0xE1 || s.length < 4 + 14 || std::memcmp(b, "Exif\0\0II", 8) != 0) continue;
    const uint8_t* tiff = b + 6;
    const size_t ifd = static_cast<size_t>(tiff[4] | tiff[5] << 8);
    const size_t entries = static_cast<size_t>(tiff[ifd] | tiff[ifd + 1] << 8);
    for (size_t e = 0; e < entries; ++e) {
      const uint8_t* entry = tiff + ifd + 2 + 12 * e;
      if ((entry[0] | entry[1] << 8) == 0x0112) return entry[8] | entry[9] << 8;
    }
  }
  return 0;
}

Bytes segment_bytes(const Bytes& jpeg, uint8_t marker) {
  const Segment s = first_segment(jpeg, marker);
  return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset),
               jpeg.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
}

size_t segment_offset(const Bytes& jpeg, uint8_t marker) {
  return first_segment(jpeg, marker).offset;
}

Bytes with_u16(Bytes jpeg, size_t offset, uint32_t value) {
  jpeg[offset] = static_cast<uint8_t>(value >> 8);
  jpeg[offset + 1] = static_cast<uint8_t>(value);
  return jpeg;
}

Bytes with_frame_size(Bytes jpeg, uint32_t width, uint32_t height) {
  for (const Segment& s : split_segments(jpeg)) {
    // SOF0..SOF15 but DHT, JPG and DAC: FF Cn, length (2), precision (1), then Y and X.
    if (s.marker < 0xC0 || s.marker > 0xCF || s.marker == 0xC4 || s.marker == 0xC8 ||
        s.marker == 0xCC)
      continue;
    jpeg = with_u16(with_u16(std::move(jpeg), s.offset + 5, height), s.offset + 7, width);
  }
  return jpeg;
}

}  // namespace kestrum::test
