#!/usr/bin/env bash
# The figures README gives for batch runs: tilvo-cli on a 12-megapixel photo-like JPEG (4000 x
# 3000, cjpeg quality 90) with one rectangle hidden (the band path), as pictures per second per
# core (the processor time, user + system, of a run over COPIES files with -j 1, so that the
# machine's other load counts less than in wall time) and the peak memory of one process
# (/usr/bin/time -v), for one file and for the batch. Everything in TMPDIR (default /tmp).
# Usage: bench/cli_scale.sh BUILD_DIR [COPIES]   (needs cjpeg and GNU time: libjpeg-turbo-progs, time)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [COPIES]}
copies=${2:-20}
cli=$(cd "$build" && pwd)/cli/tilvo-cli
work=$(mktemp -d "${TMPDIR:-/tmp}/tilvo-scale.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/timing.sh"
bench_picture "$work/in.ppm" 4000 3000
cjpeg -quality 90 "$work/in.ppm" >"$work/in.jpg"
rm "$work/in.ppm"
mkdir "$work/in"
for i in $(seq "$copies"); do cp "$work/in.jpg" "$work/in/p$i.jpg"; done
rect=(--mosaic 16 --rect 1200,800,1600,600)

# GNU time's -f: elapsed, user, system seconds and the peak resident size in KiB.
measure() { /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }
read -r e1 u1 s1 m1 < <(measure "$cli" "$work/in.jpg" "$work/one.jpg" "${rect[@]}")
read -r eb ub sb mb < <(measure "$cli" --out-dir "$work/out" -j 1 --quiet "${rect[@]}" "$work"/in/*.jpg)
read -r _ _ _ m0 < <(measure "$cli" --version)
python3 - "$copies" "$e1" "$u1" "$s1" "$m1" "$eb" "$ub" "$sb" "$mb" "$m0" "$(stat -c %s "$work/in.jpg")" <<'PY'
import sys
n = int(sys.argv[1]); e1, u1, s1 = map(float, sys.argv[2:5]); m1 = int(sys.argv[5])
eb, ub, sb = map(float, sys.argv[6:9]); mb = int(sys.argv[9]); m0 = int(sys.argv[10])
size = int(sys.argv[11])
print(f"12-megapixel JPEG ({size / 1e6:.1f} MB), one rectangle, band path")
print(f"one file: {e1:.2f} s wall, {u1 + s1:.2f} s processor, peak {m1 / 1024:.1f} MiB "
      f"(idle program {m0 / 1024:.1f} MiB)")
print(f"{n} files, -j 1: {eb:.2f} s wall, {ub + sb:.2f} s processor = "
      f"{n / (ub + sb):.1f} pictures per second per core ({n / eb:.1f} per second of wall time), "
      f"peak {mb / 1024:.1f} MiB")
PY
