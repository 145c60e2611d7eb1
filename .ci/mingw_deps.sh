#!/usr/bin/env bash
# Cross-builds what the Windows builds (and the 32-bit Linux build) link besides the toolchain: a
# static libjpeg (the tests' reference codec and the tool's decoder for other layouts) from Debian's
# libjpeg-turbo source, and GoogleTest from /usr/src/googletest. Installs into build/deps/<triple>,
# which cmake/mingw-*.cmake and cmake/linux-i686.cmake search.
#   .ci/mingw_deps.sh x86_64-w64-mingw32 | i686-w64-mingw32 | i686-linux-gnu
# Needs: apt source access (a deb-src entry is added when running as root), cmake, the -posix
# mingw compilers (or g++-multilib for i686-linux-gnu) and googletest's sources (package googletest).
set -euo pipefail
cd "$(dirname "$0")/.."

triple=${1:?usage: mingw_deps.sh TRIPLE}
root=$PWD/build/deps
prefix=$root/$triple
stamp=$prefix/.complete
if [ -f "$stamp" ]; then
  exit 0
fi

system=Windows cc=$triple-gcc-posix cxx=$triple-g++-posix flags=""
case "$triple" in
  x86_64-w64-mingw32) processor=x86_64 ;;
  i686-w64-mingw32) processor=x86 ;;
  i686-linux-gnu) processor=i686 system=Linux cc=gcc cxx=g++ flags=-m32 ;;
  *) echo "unknown triple $triple" >&2; exit 2 ;;
esac

mkdir -p "$root/src"
cd "$root/src"
if ! ls libjpeg-turbo-*/CMakeLists.txt > /dev/null 2>&1; then
  if ! ls libjpeg-turbo_*.orig.tar.gz > /dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && ! grep -rqs 'deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        > /etc/apt/sources.list.d/kestrum-deb-src.sources
      # A list that fails to fetch (a half-synced mirror's i386 one, say) leaves the source list usable.
      apt-get update -qq || echo "apt-get update: some package lists could not be fetched" >&2
    fi
    apt-get source --download-only -qq libjpeg-turbo 2> /dev/null
  fi
  tar xzf libjpeg-turbo_*.orig.tar.gz
fi
jpeg_src=$(ls -d "$root"/src/libjpeg-turbo-*/ | head -n 1)

toolchain=$root/$triple.cmake
cat > "$toolchain" << EOF
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_C_FLAGS_INIT "$flags")
set(CMAKE_CXX_FLAGS_INIT "$flags")
set(CMAKE_EXE_LINKER_FLAGS_INIT "$flags")
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF

cmake -S "$jpeg_src" -B "$root/build-jpeg-$triple" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
  -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_ARITH_ENC=ON -DWITH_ARITH_DEC=ON > /dev/null
cmake --build "$root/build-jpeg-$triple" -j2 --target jpeg-static > /dev/null
# Only the library and its headers: the command-line programs are not needed.
mkdir -p "$prefix/lib" "$prefix/include"
cp "$root/build-jpeg-$triple/libjpeg.a" "$prefix/lib/libjpeg.a"
cp "$jpeg_src/jpeglib.h" "$jpeg_src/jmorecfg.h" "$jpeg_src/jerror.h" "$root/build-jpeg-$triple/jconfig.h" \
  "$prefix/include/"

cmake -S /usr/src/googletest -B "$root/build-gtest-$triple" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF \
  > /dev/null
cmake --build "$root/build-gtest-$triple" -j2 > /dev/null
cmake --install "$root/build-gtest-$triple" > /dev/null

touch "$stamp"
echo "mingw deps installed in $prefix"
