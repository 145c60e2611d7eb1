// SPDX-License-Identifier: MIT
// libjpeg's errors as a jump back to the caller's setjmp, and its warnings counted: for the
// fuzzers' picture oracle and the tests' libjpeg helpers alike.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// After <cstdio> and <cstddef>: jpeglib.h takes FILE and size_t as given.
#include <jpeglib.h>

namespace kestrum {

struct LibjpegErrors {
  jpeg_error_mgr base;  // first: libjpeg hands the handlers a pointer to it
  std::jmp_buf jump;
  int warnings = 0;

  // The error manager for a libjpeg object's err field: an error longjmps to jump (set it with
  // setjmp before the first libjpeg call), a warning is counted.
  jpeg_error_mgr* manager() {
    jpeg_std_error(&base);
    base.error_exit = [](j_common_ptr info) {
      std::longjmp(reinterpret_cast<LibjpegErrors*>(info->err)->jump, 1);
    };
    base.emit_message = [](j_common_ptr info, int level) {
      if (level < 0) ++reinterpret_cast<LibjpegErrors*>(info->err)->warnings;
    };
    return &base;
  }
};

}  // namespace kestrum
