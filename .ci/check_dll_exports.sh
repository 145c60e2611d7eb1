#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the 32-bit kestrumEx.dll: PE32 for i386, exactly the five exports at ordinals 1 to 5
# (undecorated names, as in src/api/kestrumEx.def), and imports from Windows system DLLs only.
# Usage: .ci/check_dll_exports.sh path/to/kestrumEx.dll
set -euo pipefail

objdump_bin=${OBJDUMP:-i686-w64-mingw32-objdump}

if [[ $# -ne 1 ]]; then
  echo "usage: $0 DLL" >&2
  exit 2
fi
dll=$1
if [[ ! -f $dll ]]; then
  echo "ERROR: $dll: no such file" >&2
  exit 1
fi

if ! dump=$("$objdump_bin" -p "$dll" 2>&1); then
  echo "ERROR: $objdump_bin -p $dll failed:" >&2
  printf '%s\n' "$dump" >&2
  exit 1
fi

errors=0
fail() {
  echo "ERROR: $dll: $*" >&2
  errors=$((errors + 1))
}

# 1. Format.
if ! grep -Eq 'file format pei-i386$' <<<"$dump"; then
  fail "not a PE32 i386 image ($(grep -Eo 'file format .*' <<<"$dump" | head -n 1 || echo 'no format line'))"
fi

# 2. Exports: "ordinal name" pairs from the [Ordinal/Name Pointer] table. Older binutils print the
# index into the address table ("[   0] name", ordinal = index + base); newer ones also print the
# biased ordinal ("[   0] +base[   1] name"), which is then used directly.
expected_exports=$'1 kestrum_100\n2 kestrum_Init\n3 kestrum_Release\n4 kestrum_Test\n5 jpg_recode_api'
ordinal_base=$(awk '/^Ordinal Base/ { print $3; exit }' <<<"$dump")
actual_exports=$(awk -v base="${ordinal_base:-1}" '
  /^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
  in_table && /^[[:space:]]*$/ { if (seen) exit; next }
  in_table {
    line = $0
    if (match(line, /\+base\[ *[0-9]+\]/)) {
      ordinal = substr(line, RSTART + 6, RLENGTH - 7) + 0
    } else if (match(line, /^[[:space:]]*\[ *[0-9]+\]/)) {
      token = substr(line, RSTART, RLENGTH)
      gsub(/[^0-9]/, "", token)
      ordinal = token + base
    } else {
      next
    }
    seen = 1
    print ordinal, $NF
  }' <<<"$dump" | sort -n)
if ! grep -q 'The Export Tables' <<<"$dump"; then
  fail "no export table"
elif [[ $actual_exports != "$expected_exports" ]]; then
  fail "export table differs from the expected five (ordinal name):"
  diff <(printf '%s\n' "$expected_exports") <(printf '%s\n' "$actual_exports") \
    --label expected --label actual -u >&2 || true
fi
# The counts in "Number in:" (the first such lines; "Table Addresses" repeats the names) also catch
# exports by ordinal only, which have no entry in the name table.
read -r address_count_hex name_count_hex < <(awk '
  /^[[:space:]]*Export Address Table[[:space:]]+[0-9a-fA-F]+$/ && ea == "" { ea = $NF }
  /^[[:space:]]*\[Name Pointer\/Ordinal\] Table[[:space:]]+[0-9a-fA-F]+$/ && np == "" { np = $NF }
  END { print (ea == "" ? "-" : ea), (np == "" ? "-" : np) }' <<<"$dump")
for pair in "export address table:$address_count_hex" "name pointer table:$name_count_hex"; do
  count_hex=${pair##*:}
  if [[ $count_hex =~ ^[0-9a-fA-F]+$ ]] && ((16#$count_hex != 5)); then
    fail "${pair%%:*} has $((16#$count_hex)) entries, expected 5"
  fi
done

# 3. Imports: Windows system DLLs only (compared case-insensitively).
mapfile -t imports < <(awk '/^[[:space:]]*DLL Name:/ { print $3 }' <<<"$dump")
if [[ ${#imports[@]} -eq 0 ]]; then
  fail "no imported DLLs found (expected at least KERNEL32.dll)"
fi
for name in "${imports[@]}"; do
  case ${name,,} in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
    *) fail "imports non-system DLL $name" ;;
  esac
done

if [[ $errors -ne 0 ]]; then
  echo "FAILED: $dll: $errors problem(s)" >&2
  exit 1
fi
echo "OK: $dll: pei-i386, exports ${actual_exports//$'\n'/, }; imports ${imports[*]}"
