#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that the 32-bit Windows build's hot loops keep all their registers: a MinGW i686
# function that realigns its stack on entry (and $-16, %esp: Windows promises a 4-byte aligned
# stack only) gives up EBP as a frame pointer, and its loop then keeps more of its state in
# memory. It does so for anything 8- or 16-byte aligned on its stack: a vector register's spill
# slot, an alignas array, a 64-bit value.
# Usage: .ci/check_hot_stack.sh path/to/libkestrum_core.a
set -euo pipefail

objdump_bin=${OBJDUMP:-i686-w64-mingw32-objdump}

if [[ $# -ne 1 ]]; then
  echo "usage: $0 LIBRARY" >&2
  exit 2
fi
library=$1
if [[ ! -f $library ]]; then
  echo "ERROR: $library: no such file" >&2
  exit 1
fi

# The functions that run once per MCU or per coefficient in a default recode.
hot=(
  'kestrum::decode_one_mcu_fast()'
  'kestrum::(anonymous namespace)::decode_row_mcus('
  'kestrum::code_rows('
  'code_coefficients<unsigned int>('
)

dump=$("$objdump_bin" -d --no-show-raw-insn -C "$library")
failed=0
for name in "${hot[@]}"; do
  # The function's body: from its label to the next blank line.
  body=$(awk -v name="$name" 'index($0, name) && />:$/ { on = 1; found = 1; next }
                               on && /^$/ { on = 0 }
                               on { print }
                               END { if (!found) print "NOT FOUND" }' <<< "$dump")
  if [[ $body == "NOT FOUND" ]]; then
    echo "ERROR: $name not found in $library" >&2
    failed=1
  elif grep -qE 'and +\$0xfffffff[0-8],%esp' <<< "$body"; then
    echo "ERROR: $name realigns its stack" >&2
    failed=1
  fi
done
if [[ $failed -ne 0 ]]; then exit 1; fi
echo "hot loops: ${#hot[@]} functions, none realigns its stack"
