// SPDX-License-Identifier: MIT
// Test helpers: photo-like images, JPEG files written and read with libjpeg (the independent
// reference), console capture and temporary folders.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kestrum {
struct RecodePlan;
}

namespace kestrum::test {

using Bytes = std::vector<uint8_t>;

// A deterministic photo-like RGB image: smooth gradients, edges and some texture.
std::vector<uint8_t> photo_rgb(int width, int height, uint32_t seed = 1, int noise = 12);

struct JpegOptions {
  int quality = 90;
  int restart_rows = 0;   // restart interval in MCU rows (0 = none)
  int restart_mcus = 0;   // restart interval in MCUs (0 = none; overrides rows)
  bool optimize = false;  // optimized Huffman tables
  int h0 = 2, v0 = 2;     // luma sampling factors; chroma 1x1
  int components = 3;     // 1 = greyscale
  bool progressive = false;
  bool arithmetic = false;
  bool rgb = false;  // coded as R, G, B (Adobe transform 0, ids 'R' 'G' 'B', no JFIF), not YCbCr
  bool wide_tables = false;  // tables without the baseline limit: 16-bit entries where needed
};

// Options of a baseline 4:2:0 source at quality, with the given restart interval and tables.
JpegOptions baseline_options(int quality, int restart_rows = 0, int restart_mcus = 0,
                             bool optimize = false);
// Options for a layout or coding other than baseline 4:2:0 (sampling factors of the luma).
JpegOptions layout_options(int h0, int v0, int components = 3, bool progressive = false,
                           bool arithmetic = false);

// Compresses RGB with libjpeg (baseline by default).
Bytes libjpeg_encode(const std::vector<uint8_t>& rgb, int width, int height,
                     const JpegOptions& options);

// Planes as libjpeg decodes them in raw-data mode (accurate integer IDCT), cropped to the
// component size: Y width x height, chroma ceil(width/2) x ceil(height/2) for 4:2:0.
struct RawPlanes {
  int width = 0, height = 0;
  std::vector<uint8_t> y, cb, cr;
  int cw = 0, ch = 0;
  // Chroma as libjpeg decodes it, whole blocks: the image size rounded up to 16, halved, which is
  // the chroma area of PlanarYuv420Image.
  std::vector<uint8_t> padded_cb, padded_cr;
  int padded_cw = 0, padded_ch = 0;
  int warnings = 0;
};
bool libjpeg_decode_raw(const Bytes& jpeg, RawPlanes* out);

// Quantization tables of slots 0 (luma) and 1 (chroma), natural (row-major) order.
using QuantTables = std::array<std::array<int, 64>, 2>;

// The tables libjpeg writes at quality (jpeg_set_quality with baseline limits: the quality folded
// into 1..100, entries 1..255); false when libjpeg fails.
bool libjpeg_quality_tables(int quality, QuantTables* out);

// Slots 0 and 1 of a stream as libjpeg reads them; false when libjpeg fails or a slot is empty.
bool libjpeg_read_quant_tables(const Bytes& jpeg, QuantTables* out);

// RGB decode with libjpeg; returns false on error, counts warnings.
bool libjpeg_decode_rgb(const Bytes& jpeg, std::vector<uint8_t>* rgb, int* width, int* height,
                        int* warnings);

double psnr(const uint8_t* a, const uint8_t* b, size_t n);

// A 4-component source: its samples as CMYK (YCCK sources are coded from CMYK).
struct CmykOptions {
  bool is_ycck = false;  // coded as YCCK (Adobe transform 2), else as CMYK
  int quality = 90;
  bool has_adobe = true;     // without it libjpeg reads 4 components as CMYK
  bool is_inverted = false;  // Photoshop's CMYK: 255 is no ink
  bool progressive = false;
  int h[4] = {1, 1, 1, 1}, v[4] = {1, 1, 1, 1};
};
// Compresses CMYK samples (4 a pixel; is_inverted is the caller's business) with libjpeg.
Bytes libjpeg_encode_cmyk(const std::vector<uint8_t>& cmyk, int width, int height,
                          const CmykOptions& options);

// A 4-component stream as libjpeg reads it: the coded colour space (libjpeg's J_COLOR_SPACE), its
// Adobe and JFIF segments, sampling factors and the CMYK samples (YCCK converted by libjpeg).
struct CmykDecode {
  bool is_ok = false;
  int width = 0, height = 0, warnings = 0;
  int space = 0;
  bool has_adobe = false, has_jfif = false;
  int adobe_transform = -1;
  int h[4] = {}, v[4] = {};
  std::vector<uint8_t> cmyk;
};
CmykDecode libjpeg_decode_cmyk(const Bytes& jpeg);

// PSNR of one channel of two CMYK images of the same size.
double channel_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t channel);

// Console transcript capture for the lifetime of the object.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  const std::string& text() const { return text_; }

 private:
  static void sink(const char* text, void* self);
  std::string text_;
};

// A fresh temporary folder, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const;
  const std::string& root() const { return root_; }
  std::vector<std::string> list() const;

 private:
  std::string root_;
};

bool write_file(const std::string& path, const Bytes& data);
bool read_file(const std::string& path, Bytes* data);
bool file_exists(const std::string& path);

// Segments of a JPEG stream by marker (for building malformed variants and checking output).
struct Segment {
  uint8_t marker = 0;
  size_t offset = 0;  // of the 0xFF
  size_t length = 0;  // whole segment with its marker (for SOS: up to the next non-RST marker)
};
std::vector<Segment> split_segments(const Bytes& jpeg);
// The offset of the first entropy-coded byte: just past the first SOS segment; 0 without one.
size_t scan_data_offset(const Bytes& jpeg);
// Offsets of the RSTn markers after the first scan's header, in order.
std::vector<size_t> restart_offsets(const Bytes& jpeg);
// The parts one after another.
Bytes concat(std::initializer_list<Bytes> parts);

// Our decoder from memory, with its transcript: by the requested plan, or by plan.
struct OurDecode {
  int32_t status = 0;
  int32_t width = 0, height = 0;
  std::vector<uint8_t> image;  // PlanarYuv420Image
  std::string log;
};
OurDecode decode_ours(const Bytes& jpeg);
// The library's recode from memory at quality (recode_memory, its console to the current sink):
// its status, with the stream in *out when that is 0.
int32_t recode_in_memory(const Bytes& source, int32_t quality, Bytes* out);
OurDecode decode_ours(const Bytes& jpeg, const RecodePlan& plan);

// Our decoded planes against libjpeg's raw decode of the same file, over the image's own area.
struct PlaneAgreement {
  int max_diff = 0;
  double psnr_y = 0, psnr_cb = 0, psnr_cr = 0;
  double psnr_min() const;
};
PlaneAgreement compare_planes_with_libjpeg(const Bytes& jpeg, const OurDecode& ours);
// The stream with segments inserted after SOI and the APP0 that libjpeg writes.
Bytes with_segments(const Bytes& jpeg, const Bytes& segments);
// A whole marker segment with its length field.
Bytes segment(uint8_t marker, const Bytes& body);
// An EXIF APP1 whose IFD0 holds only the orientation tag, followed by trailer bytes (a maker note).
Bytes exif_segment(uint16_t orientation, const Bytes& trailer);
// An APP2 ICC_PROFILE segment (one chunk of 300 bytes of profile data).
Bytes icc_segment();
// The orientation tag of the first EXIF APP1 of a stream, 0 when there is none.
int exif_orientation(const Bytes& jpeg);
// The first whole segment with this marker, empty when there is none.
Bytes segment_bytes(const Bytes& jpeg, uint8_t marker);
// The offset of the first segment with this marker, 0 when there is none.
size_t segment_offset(const Bytes& jpeg, uint8_t marker);
// The stream with the big-endian 16-bit value at offset replaced.
Bytes with_u16(Bytes jpeg, size_t offset, uint32_t value);
// The stream with every frame header claiming width x height.
Bytes with_frame_size(Bytes jpeg, uint32_t width, uint32_t height);
}  // namespace kestrum::test
