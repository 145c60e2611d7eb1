#!/usr/bin/env bash
# Recodes the same source files with the Linux tool and with the Windows tool (under wine), each
# in a folder of its own, and fails on any difference in the files written, the console output
# (the library's log shown with -v, the per-file lines and the summary) or the exit statuses.
# Windows prints in text mode, so CR LF counts as LF, and joins paths with \, which counts as /;
# the summary's elapsed time is dropped. A 64-bit tool runs under wine64 and a 32-bit one under the
# 32-bit loader, each named explicitly; a loader that exits without running the program (wine64
# with a 32-bit one where 32-bit code cannot run) shows as a difference, as its log is empty.
# The second tool may also be a Linux program (the 32-bit Linux build), which then runs as it is.
#   .ci/compare_windows.sh LINUX_TOOL WINDOWS_TOOL.exe|OTHER_LINUX_TOOL SOURCE...
set -euo pipefail
linux_tool=$(realpath "$1")
windows_tool=$(realpath "$2")
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

if [ "$(od -An -tx1 -N 4 "$windows_tool" | tr -d ' ')" = 7f454c46 ]; then
  # An ELF program: the machine field at 0x12, 3 for i386, 3e for x86-64.
  machine=$(od -An -tx2 -j 18 -N 2 "$windows_tool" | tr -d ' ' | sed 's/^0*//')
  wine=""
  other="the other Linux build ($machine)"
else
  # The machine field of the PE header (its offset is at 0x3c): 14c for i386, 8664 for x86-64.
  pe_offset=$(od -An -tu4 -j 60 -N 4 "$windows_tool" | tr -d ' ')
  machine=$(od -An -tx2 -j $((pe_offset + 4)) -N 2 "$windows_tool" | tr -d ' ' | sed 's/^0*//')
  case "$machine" in
    14c) wine=$(command -v /usr/lib/wine/wine || command -v wine) ;;
    8664) wine=$(command -v /usr/lib/wine/wine64 || command -v wine64) ;;
    *) echo "$windows_tool: not a PE program for i386 or x86-64 (machine '$machine')" >&2; exit 2 ;;
  esac
  other="Windows ($machine)"
fi

run() {  # run SYSTEM NAME ARGS...: the output of one call, with its exit status
  local system=$1 name=$2
  shift 2
  local status=0
  if [ "$system" = linux ]; then
    "$linux_tool" "$@" > "$name.log" 2>&1 || status=$?
  elif [ -z "$wine" ]; then
    "$windows_tool" "$@" > "$name.log" 2>&1 || status=$?
  else
    "$wine" "$windows_tool" "$@" > "$name.log" 2>&1 || status=$?
    # A wine process that dies before the tool prints anything gets one more try, as the Windows
    # tests do; one that fails again counts. Seen in CI: exit 1 with no output, and exit 1 with
    # only wine's own "wine client error:0: recvmsg: Connection reset by peer"; every rerun clean.
    # The tool's own lines never start with "wine".
    if [ "$status" != 0 ] && ! grep -qv '^wine' "$name.log"; then
      status=0
      "$wine" "$windows_tool" "$@" > "$name.log" 2>&1 || status=$?
    fi
    sed -i -e 's/\r$//' -e 's#\\#/#g' "$name.log"  # CR LF, and the paths the tool joined with \
  fi
  sed -i -E 's/ in [0-9]+\.[0-9] s$//' "$name.log"
  echo "exit $status" >> "$name.log"
}

for system in linux windows; do
  mkdir -p "$work/$system"
  cp "$@" "$work/$system/"
  (
    cd "$work/$system"
    for source in "$@"; do
      name=$(basename "$source" .jpg)
      # Beside the source at two qualities (in process, then through a worker process), then
      # into a folder named with the system's own separator.
      run "$system" "$name.85" -j 1 -v "$name.jpg"
      run "$system" "$name.40" -j 2 -v -q 40 "$name.jpg"
      if [ "$system" = linux ] || [ -z "$wine" ]; then dest="./out"; else dest=".\\out"; fi
      run "$system" "$name.o" -j 1 -v -q 70 -o "$dest" "$name.jpg"
    done
  )
done

if ! diff -r "$work/linux" "$work/windows"; then
  echo "the Linux and $other recodes differ" >&2
  exit 1
fi
echo "Linux and $other recodes agree: $# sources, $(find "$work/linux" -type f | wc -l) files each"
