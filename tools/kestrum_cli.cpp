// SPDX-License-Identifier: MIT
// kestrum-recode: recodes one JPEG through the library's exported functions.
//   kestrum-recode FILE [QUALITY]          writes FILE_<QUALITY>.jpg beside FILE (kestrum_100)
//   kestrum-recode -o DEST FILE [QUALITY]  writes DEST (jpg_recode_api)
// Exit status: 0 success, 1 failure, 2 usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrum.h"

namespace {

constexpr int32_t kDefaultQuality = 85;

void usage(std::FILE* to) {
  std::fputs(
      "usage: kestrum-recode FILE [QUALITY]\n"
      "       kestrum-recode -o DEST FILE [QUALITY]\n"
      "Recodes a baseline 4:2:0 JPEG at QUALITY (default 85), lowered by the distance of the\n"
      "source's own quality from 100. Without -o the result is FILE_<QUALITY>.<ext> beside FILE.\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      to);
}

bool parse_quality(const char* text, int32_t* quality) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *quality = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* destination = nullptr;
  int arg = 1;
  if (arg < argc && (std::strcmp(argv[arg], "--help") == 0 || std::strcmp(argv[arg], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (arg < argc && std::strcmp(argv[arg], "-o") == 0) {
    if (arg + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    destination = argv[arg + 1];
    arg += 2;
  }
  const int rest = argc - arg;
  int32_t quality = kDefaultQuality;
  if (rest < 1 || rest > 2 || (rest == 2 && !parse_quality(argv[arg + 1], &quality))) {
    usage(stderr);
    return 2;
  }
  const char* source = argv[arg];
  int ok = 0;
  if (destination != nullptr) {
    ok = jpg_recode_api(source, destination, quality) == KESTRUM_OK;
  } else {
    KestrumHandle handle = kestrum_Init("KE_100");
    ok = kestrum_100(handle, source, quality) == 1;
    kestrum_Release(handle);
  }
  std::fflush(stdout);
  return ok ? 0 : 1;
}
