# Cross toolchain for the 32-bit Windows DLL. The -posix compilers provide std::mutex and
# std::thread (the win32 thread model of GCC 12 has neither); winpthread is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Static libjpeg and GoogleTest cross-built by .ci/mingw_deps.sh, when present.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${CMAKE_CURRENT_LIST_DIR}/../build/deps/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The 32-bit wine loader by name: wine64 handed a 32-bit program where 32-bit code cannot run
# exits 0 without running it, so the tests would pass without running. Debian's loader is
# /usr/lib/wine/wine (package wine32:i386); elsewhere the "wine" on PATH.
find_program(KESTRUM_WINE32 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KESTRUM_WINE32)
  set(KESTRUM_WINE32 wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUM_WINE32})
