#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two small consumers against it: one with
# pkg-config (the C API of the shared library), one with find_package(kestrum) (the shared
# library and the static recode_any library). Each consumer must run and pass its checks.
#   check_install.sh BUILD_DIR CONSUMER_SOURCE_DIR "EXTRA_FLAGS" C_COMPILER CXX_COMPILER
set -euo pipefail
build=$1 consumer=$2 flags=$3 cc=$4 cxx=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > /dev/null
pc=$(find "$prefix" -name kestrum.pc)
libdir=$(dirname "$(dirname "$pc")")
test -x "$prefix/bin/kestrum-recode"
test -f "$prefix/include/kestrum.h" && test -f "$prefix/include/kestrum/recode_any.h"

echo "== pkg-config consumer"
# shellcheck disable=SC2046,SC2086
"$cc" $flags "$consumer/consumer.c" -o "$work/by_pkg_config" \
  $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs kestrum) -Wl,-rpath,"$libdir"
"$work/by_pkg_config"

echo "== find_package consumer"
cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" > /dev/null
cmake --build "$work/cmake-build" > /dev/null
"$work/cmake-build/consumer_c"
"$work/cmake-build/consumer_recode_any"
echo "install consumers passed"
