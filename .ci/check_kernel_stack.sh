#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that the 64-bit Windows build's AVX2 and AVX-512 kernels keep their vectors out of
# aligned stack slots: GCC for 64-bit Windows does not realign the stack (which the ABI aligns to
# 16 bytes only) for 32- or 64-byte spills, so an aligned move of a ymm or zmm register to the
# stack would fault on every other call. The callee-saved xmm6-xmm15 go out with unaligned moves.
# Usage: .ci/check_kernel_stack.sh path/to/build/folder
set -euo pipefail

objdump_bin=${OBJDUMP:-x86_64-w64-mingw32-objdump}
if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_FOLDER" >&2
  exit 2
fi
mapfile -t objects < <(find "$1" -name '*_avx2.cpp.obj' -o -name '*_avx512.cpp.obj' | sort)
if [[ ${#objects[@]} -eq 0 ]]; then
  echo "ERROR: no AVX2 or AVX-512 kernel objects under $1" >&2
  exit 1
fi
failed=0
for object in "${objects[@]}"; do
  if "$objdump_bin" -d --no-show-raw-insn "$object" |
      grep -E 'vmov(dqa|dqa32|dqa64|aps|apd) .*\(%(rsp|rbp)\)'; then
    echo "ERROR: $object moves a vector to or from the stack with an aligned move" >&2
    failed=1
  fi
done
if [[ $failed -ne 0 ]]; then exit 1; fi
echo "vector kernels: ${#objects[@]} objects, no aligned stack slot"
