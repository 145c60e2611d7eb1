#!/usr/bin/env bash
# Recodes the same source files with the Linux tool and with the Windows tool (under wine), each
# in a folder of its own, and fails on any difference in the files written, the console logs or
# the exit statuses. Windows prints in text mode, so CR LF in a log counts as LF.
#   .ci/compare_windows.sh LINUX_TOOL WINDOWS_TOOL.exe SOURCE...
set -euo pipefail
linux_tool=$(realpath "$1")
windows_tool=$(realpath "$2")
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

run() {  # run SYSTEM NAME ARGS...: the log of one call, with its exit status
  local system=$1 name=$2
  shift 2
  local status=0
  if [ "$system" = linux ]; then
    "$linux_tool" "$@" > "$name.log" 2>&1 || status=$?
  else
    wine "$windows_tool" "$@" > "$name.log" 2>&1 || status=$?
    sed -i 's/\r$//' "$name.log"
  fi
  echo "exit $status" >> "$name.log"
}

for system in linux windows; do
  mkdir -p "$work/$system/out"
  cp "$@" "$work/$system/"
  (
    cd "$work/$system"
    for source in "$@"; do
      name=$(basename "$source" .jpg)
      # Beside the source at two qualities, then into a subfolder by the other separator.
      run "$system" "$name.85" "$name.jpg"
      run "$system" "$name.40" "$name.jpg" 40
      if [ "$system" = linux ]; then dest="out/$name.jpg"; else dest="out\\$name.jpg"; fi
      run "$system" "$name.o" -o "$dest" "$name.jpg" 70
    done
  )
done

if ! diff -r "$work/linux" "$work/windows"; then
  echo "the Linux and Windows recodes differ" >&2
  exit 1
fi
echo "Linux and Windows recodes agree: $# sources, $(find "$work/linux" -type f | wc -l) files each"
