#!/usr/bin/env python3
# The tool on real photos against libjpeg-turbo's YUV recode, one process a file.
#   bench/real_photos.py DIR [Q] [--runs R] [--pairs P]     (Q: 1..100, default 80)
# The JPEG files directly in DIR that the library recodes itself at Q (the tool's "library" way;
# the kept, converted and refused ones are left out) are copied to a temporary folder. Then R runs
# (default 3) of P alternated pairs (default 5) time, as whole commands:
#   ours -j 1   kestrum-recode -q Q --exact -s -j 1 --overwrite -o OUT FILES...
#   tj, one     recode_bench --child turbo FILE OUT Q_USED 1, one file after the other
#   ours -j 2   the same with -j 2
#   tj, two     the same, two files at a time (and -j 2 against tj one file at a time)
# where Q_USED is the quality the tool gave that file (tjDecompressToYUV2, tjCompressFromYUV: the
# program recode_bench times). --exact and -s give the standard tables and no metadata, as the
# TurboJPEG program writes them. Each run's figure is its pairs' medians; the table gives the run
# with the median ratio, the lowest and highest ratio of the runs, and says when they spread over
# 10 %. Every result is checked once: at least 30 dB PSNR over RGB against libjpeg's decode of
# its source (PIL), on both sides.
# The tool is $KESTRUM_RECODE, else this checkout's build/release or build/tool; recode_bench is
# $RECODE_BENCH, else build/bench's (the bench preset, with libturbojpeg0-dev).
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

try:
    from PIL import Image, ImageChops, ImageStat
except ImportError:  # a Python without PIL first on the PATH: the system's has it (python3-pil)
    if sys.executable != "/usr/bin/python3" and os.access("/usr/bin/python3", os.X_OK):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find(variable, candidates):
    for path in [os.environ.get(variable, "")] + candidates:
        if path and os.access(path, os.X_OK):
            return path
    sys.exit(f"real_photos.py: not found: {candidates[0]} (or set {variable})")


def psnr(a_path, b_path):
    a = Image.open(a_path).convert("RGB")
    b = Image.open(b_path).convert("RGB")
    if a.size != b.size:
        return 0.0
    rms = ImageStat.Stat(ImageChops.difference(a, b)).rms
    mse = sum(r * r for r in rms) / len(rms)
    return 99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main():
    args = sys.argv[1:]

    def take_count(flag, default, least):
        if flag not in args:
            return default
        i = args.index(flag)
        value = max(least, int(args[i + 1]))
        del args[i : i + 2]
        return value

    runs = take_count("--runs", 3, 3)
    pairs = take_count("--pairs", 5, 1)
    if not args:
        sys.exit("usage: real_photos.py DIR [Q] [--runs R] [--pairs P]")
    folder, quality = args[0], int(args[1]) if len(args) > 1 else 80
    if not 1 <= quality <= 100:
        sys.exit(f"real_photos.py: Q must be 1..100, not {quality}")
    tool = find("KESTRUM_RECODE", [f"{REPO}/build/release/bin/kestrum-recode",
                                   f"{REPO}/build/tool/bin/kestrum-recode"])
    bench = find("RECODE_BENCH", [f"{REPO}/build/bench/bin/recode_bench"])
    work = tempfile.mkdtemp(prefix="kestrum_photos_")
    try:
        names = sorted(n for n in os.listdir(folder)
                       if n.lower().endswith((".jpg", ".jpeg", ".jpe", ".jfif"))
                       and os.path.isfile(os.path.join(folder, n)))
        probe = os.path.join(work, "probe")
        listing = subprocess.run(
            [tool, "-q", str(quality), "--exact", "-s", "-j", "1", "--json", "-o", probe]
            + [os.path.join(folder, n) for n in names],
            capture_output=True, text=True).stdout
        chosen = {}
        for line in listing.splitlines():
            record = json.loads(line)
            if record.get("way") == "library" and record.get("status") == "recoded":
                chosen[os.path.basename(record["source"])] = record["quality_used"]
        if not chosen:
            sys.exit(f"real_photos.py: no photo in {folder} is recoded by the library at {quality}")
        sources = os.path.join(work, "set")
        os.mkdir(sources)
        files = []
        for name in sorted(chosen):
            shutil.copyfile(os.path.join(folder, name), os.path.join(sources, name))
            files.append(os.path.join(sources, name))
        megapixels = sum(math.prod(Image.open(f).size) for f in files) / 1e6
        ours_out, tj_out = os.path.join(work, "ours"), os.path.join(work, "tj")
        os.mkdir(tj_out)

        def ours(jobs):
            subprocess.run([tool, "-q", str(quality), "--exact", "-s", "-j", str(jobs),
                            "--overwrite", "--quiet", "-o", ours_out] + files,
                           check=True, stdout=subprocess.DEVNULL)

        def tj_command(f):
            return [bench, "--child", "turbo", f, os.path.join(tj_out, os.path.basename(f)),
                    str(chosen[os.path.basename(f)]), "1"]

        def tj(jobs):
            waiting = list(files)
            running = []
            while waiting or running:
                while waiting and len(running) < jobs:
                    running.append(subprocess.Popen(tj_command(waiting.pop(0)),
                                                    stdout=subprocess.DEVNULL))
                if running[0].wait() != 0:
                    sys.exit("real_photos.py: the TurboJPEG program failed")
                running.pop(0)

        ours(1)
        tj(1)
        worst = min(min(psnr(f, os.path.join(side, os.path.basename(f))) for f in files)
                    for side in (ours_out, tj_out))
        if worst < 30:
            sys.exit(f"real_photos.py: a result is {worst:.1f} dB from its source")
        print(f"{len(files)} photos the library recodes at {quality} ({megapixels:.1f} MP, "
              f"{sum(os.path.getsize(f) for f in files) / 1e6:.2f} MB) of {len(names)} in {folder}; "
              f"every result at least {worst:.1f} dB from its source")
        print(f"{runs} runs of {pairs} alternated pairs, each run's medians; the run with the "
              "median ratio, and the lowest and highest ratio")
        print(f"{'ours / tj':16} | {'ours ms':>9} | {'tj ms':>9} | {'ratio':>6}  lowest-highest")
        for jobs, tj_jobs in ((1, 1), (2, 2), (2, 1)):
            results = []
            for _ in range(runs):
                mine, theirs = [], []
                for p in range(pairs):
                    if p % 2 == 0:
                        mine.append(timed(lambda: ours(jobs)))
                        theirs.append(timed(lambda: tj(tj_jobs)))
                    else:
                        theirs.append(timed(lambda: tj(tj_jobs)))
                        mine.append(timed(lambda: ours(jobs)))
                m, t = statistics.median(mine), statistics.median(theirs)
                results.append((t / m, m, t))
            results.sort()
            ratio, m, t = results[len(results) // 2]
            low, high = results[0][0], results[-1][0]
            flag = "  SPREAD OVER 10 %: a busy machine" if high > 1.1 * low else ""
            label = f"-j {jobs} / {tj_jobs} at once"
            print(f"{label:16} | {1000 * m:9.1f} | {1000 * t:9.1f} | {ratio:5.2f}x"
                  f"  {low:5.2f}x-{high:5.2f}x{flag}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
