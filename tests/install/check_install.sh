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

echo "== installed files"
# The shared library by its soname, with the unversioned name for the linker (not on Windows).
test "$(readlink "$libdir/libkestrumEx.so")" = libkestrumEx.so.1
test "$(readlink "$libdir/libkestrumEx.so.1")" = libkestrumEx.so.1.0.0
readelf -d "$libdir/libkestrumEx.so.1.0.0" | grep -q 'Library soname: \[libkestrumEx.so.1\]'
# The package file holds CMake code only, no configured flag left as a literal condition.
config=$(find "$prefix" -name kestrumConfig.cmake)
if grep -nEi '^[[:space:]]*(else)?if[[:space:]]*\((ON|OFF|TRUE|FALSE|YES|NO|1|0)?\)' "$config"; then
  echo "$config: a condition without a variable" >&2
  exit 1
fi
if grep -n '@' "$config" | grep -v '^[0-9]*:#'; then
  echo "$config: an unconfigured @VARIABLE@" >&2
  exit 1
fi
# The man page, rendered without a warning where groff is installed.
page="$prefix/share/man/man1/kestrum-recode.1"
test -f "$page"
if command -v groff > /dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings" >&2
    exit 1
  fi
fi

echo "== pkg-config consumer"
# shellcheck disable=SC2046,SC2086
"$cc" $flags "$consumer/consumer.c" -o "$work/by_pkg_config" \
  $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs kestrum) -Wl,-rpath,"$libdir"
"$work/by_pkg_config"
# Linked by its soname, so a later libkestrumEx.so.1.x serves it.
readelf -d "$work/by_pkg_config" | grep -q 'Shared library: \[libkestrumEx.so.1\]'

echo "== find_package consumer"
cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" > /dev/null
cmake --build "$work/cmake-build" > /dev/null
"$work/cmake-build/consumer_c"
"$work/cmake-build/consumer_recode_any"
echo "install consumers passed"
