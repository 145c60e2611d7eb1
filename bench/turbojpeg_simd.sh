#!/usr/bin/env bash
# Builds libjpeg-turbo with its SIMD (nasm) and the TurboJPEG API as static libraries for a Windows
# target, from the Debian source that .ci/mingw_deps.sh unpacked, into build/deps/<triple>-simd:
# the peer that recode_bench measures our Windows builds against (not used by any test).
#   bench/turbojpeg_simd.sh i686-w64-mingw32 | x86_64-w64-mingw32
# Needs: nasm, and .ci/mingw_deps.sh run for the same triple first.
set -euo pipefail
cd "$(dirname "$0")/.."

triple=${1:?usage: turbojpeg_simd.sh TRIPLE}
root=$PWD/build/deps
prefix=$root/$triple-simd
jpeg_src=$(ls -d "$root"/src/libjpeg-turbo-*/ | head -n 1)
cmake -S "$jpeg_src" -B "$root/build-turbo-$triple" -DCMAKE_TOOLCHAIN_FILE="$root/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
  -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_TURBOJPEG=ON -DCMAKE_ASM_NASM_COMPILER=nasm > /dev/null
cmake --build "$root/build-turbo-$triple" -j2 --target jpeg-static turbojpeg-static > /dev/null
mkdir -p "$prefix/lib" "$prefix/include"
cp "$root/build-turbo-$triple/libjpeg.a" "$root/build-turbo-$triple/libturbojpeg.a" "$prefix/lib/"
cp "$jpeg_src/jpeglib.h" "$jpeg_src/jmorecfg.h" "$jpeg_src/jerror.h" "$jpeg_src/turbojpeg.h" \
  "$root/build-turbo-$triple/jconfig.h" "$prefix/include/"
echo "libjpeg-turbo with SIMD installed in $prefix"
