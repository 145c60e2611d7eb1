# Cross toolchain for the 64-bit Windows build, whose programs and tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Static libjpeg and GoogleTest cross-built by .ci/mingw_deps.sh, when present.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_CURRENT_LIST_DIR}/../build/deps/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# wine64 by name: the plain "wine" starts the 32-bit loader whenever wine32 is installed, even for a
# 64-bit program, and that loader fails where the kernel refuses 32-bit code. Debian keeps wine64
# out of PATH, in /usr/lib/wine.
find_program(KESTRUM_WINE64 wine64 PATHS /usr/lib/wine /usr/lib64/wine)
if(NOT KESTRUM_WINE64)
  set(KESTRUM_WINE64 wine64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUM_WINE64})
