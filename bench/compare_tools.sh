#!/usr/bin/env bash
# Compares kestrum-recode with jpegoptim and with libjpeg's djpeg | cjpeg on a folder of photos.
#   bench/compare_tools.sh DIR [Q]      (Q: 1..100, default 80)
# The JPEG files directly in DIR (*.jpg, *.jpeg, *.jpe, *.jfif) are copied to a temporary folder;
# each tool recodes that copy into a fresh output folder, three times, and each whole run is timed:
#   kestrum    kestrum-recode -q Q -j 2 -o OUT FILES...
#   jpegoptim  jpegoptim -mQ -d OUT FILES...   (keeps a file it cannot make smaller)
#   cjpeg      djpeg FILE | cjpeg -optimize -quality Q > OUT/FILE, one file after the other
# One table row a tool: the bytes out as % of the bytes in (a file with no result counts at its
# source's size, as the source stays), results larger than their source, sources kept (no result,
# or the source's own bytes), PSNR over RGB of each new result against libjpeg's decode (PIL) of
# its source (median and minimum), the quality of the new results as ImageMagick estimates it
# (identify -format %Q), and the run's time, best and median of the three.
# The tool is $KESTRUM_RECODE, else this checkout's build/release or build/tool, else the PATH's.
# Needs: jpegoptim, libjpeg-turbo-progs (djpeg, cjpeg), imagemagick, python3 with PIL.
set -euo pipefail

dir=${1:?usage: compare_tools.sh DIR [Q]}
quality=${2:-80}
case "$quality" in
  [1-9] | [1-9][0-9] | 100) ;;
  *) echo "compare_tools.sh: Q must be 1..100, not $quality" >&2; exit 2 ;;
esac
repo=$(cd "$(dirname "$0")/.." && pwd)
kestrum=${KESTRUM_RECODE:-}
for candidate in "$repo/build/release/bin/kestrum-recode" "$repo/build/tool/bin/kestrum-recode"; do
  if [ -z "$kestrum" ] && [ -x "$candidate" ]; then kestrum=$candidate; fi
done
kestrum=${kestrum:-$(command -v kestrum-recode || true)}
for need in "$kestrum" jpegoptim djpeg cjpeg identify; do
  if [ -z "$need" ] || ! command -v "$need" > /dev/null; then
    echo "compare_tools.sh: ${need:-kestrum-recode} not found (build the tool or set KESTRUM_RECODE)" >&2
    exit 1
  fi
done
# A Python with PIL: $PYTHON, else the PATH's python3, else the system's (Debian's python3-pil).
python=""
for candidate in ${PYTHON:-} python3 /usr/bin/python3; do
  if [ -z "$python" ] && "$candidate" -c 'import PIL' 2> /dev/null; then python=$candidate; fi
done
if [ -z "$python" ]; then
  echo "compare_tools.sh: no python3 with PIL (apt-get install python3-pil, or set PYTHON)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
find "$dir" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.jpe' \
  -o -iname '*.jfif' \) -exec cp -p {} "$work/src/" \;
sources=("$work/src"/*)
if [ ! -e "${sources[0]}" ]; then
  echo "compare_tools.sh: no JPEG file in $dir" >&2
  exit 1
fi

run_kestrum() { "$kestrum" -q "$quality" -j 2 -o "$1" "${sources[@]}" > /dev/null 2>&1 || true; }
run_jpegoptim() { jpegoptim -q -m"$quality" -d "$1" "${sources[@]}" > /dev/null 2>&1 || true; }
run_cjpeg() {
  local f
  for f in "${sources[@]}"; do
    # A source djpeg cannot read leaves no result; a partial one is removed.
    djpeg "$f" 2> /dev/null | cjpeg -optimize -quality "$quality" > "$1/${f##*/}" 2> /dev/null ||
      rm -f "$1/${f##*/}"
    [ -s "$1/${f##*/}" ] || rm -f "$1/${f##*/}"
  done
}

tools=(kestrum jpegoptim cjpeg)
for tool in "${tools[@]}"; do
  : > "$work/$tool.times"
  for _ in 1 2 3; do
    out="$work/out-$tool"
    rm -rf "$out" && mkdir "$out"
    sync
    start=$(date +%s.%N)
    "run_$tool" "$out"
    end=$(date +%s.%N)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }' >> "$work/$tool.times"
  done
  # The qualities of the last run's results, as ImageMagick estimates them.
  find "$work/out-$tool" -type f -print0 |
    xargs -0 -r identify -format '%f|%Q\n' 2> /dev/null > "$work/$tool.quality" || true
done

echo "${#sources[@]} files from $dir at Q $quality, kestrum-recode: $kestrum"
"$python" - "$work" "${tools[@]}" << 'EOF'
import math, os, statistics, sys
from PIL import Image, ImageChops, ImageStat

work, tools = sys.argv[1], sys.argv[2:]
src_dir = os.path.join(work, "src")
names = sorted(os.listdir(src_dir))

def rgb(path):
    with Image.open(path) as im:
        return im.convert("RGB")


def psnr(a, b):
    # Over the three RGB channels: the sum of squared differences from the difference's histogram.
    if a.size != b.size:
        return None
    sse = sum(ImageStat.Stat(ImageChops.difference(a, b)).sum2)
    if sse == 0:
        return float("inf")
    return 10 * math.log10(255.0 * 255.0 * 3 * a.size[0] * a.size[1] / sse)


reference = {}
for n in names:
    try:
        reference[n] = rgb(os.path.join(src_dir, n))
    except Exception:
        reference[n] = None

def fmt(values, form):
    if not values:
        return "-"
    return (form % statistics.median(values)) + " / " + (form % min(values))

rows = []
for tool in tools:
    out_dir = os.path.join(work, "out-" + tool)
    results = {}
    for root, _, files in os.walk(out_dir):
        for f in files:
            results[f] = os.path.join(root, f)
    qualities = {}
    with open(os.path.join(work, tool + ".quality")) as q:
        for line in q:
            path, _, value = line.rstrip("\n").rpartition("|")
            if value.isdigit():
                qualities[os.path.basename(path)] = int(value)
    total_in = total_out = larger = kept = 0
    psnrs, quals = [], []
    for n in names:
        src = os.path.join(src_dir, n)
        size_in = os.path.getsize(src)
        total_in += size_in
        res = results.get(n)
        if res is None or open(res, "rb").read() == open(src, "rb").read():
            kept += 1
            total_out += size_in
            continue
        size_out = os.path.getsize(res)
        total_out += size_out
        larger += size_out > size_in
        if n in qualities:
            quals.append(qualities[n])
        if reference[n] is not None:
            try:
                value = psnr(rgb(res), reference[n])
            except Exception:
                value = None
            if value is not None:
                psnrs.append(value)
    with open(os.path.join(work, tool + ".times")) as t:
        times = [float(x) for x in t.read().split()]
    rows.append((tool, 100.0 * total_out / total_in, larger, kept, fmt(psnrs, "%.2f"),
                 fmt(quals, "%d"), "%.2f / %.2f" % (min(times), statistics.median(times)),
                 statistics.median(times)))

print("| tool | bytes out / in | larger | kept | PSNR dB median / min | quality median / min | time s best / median |")
print("|---|---|---|---|---|---|---|")
for r in rows:
    print("| %s | %.1f %% | %d | %d | %s | %s | %s |" % r[:7])
median = {r[0]: r[7] for r in rows}
if median.get("kestrum", 0) > 0:
    print("jpegoptim's time / kestrum-recode's (medians): %.2fx" % (median["jpegoptim"] / median["kestrum"]))
EOF
