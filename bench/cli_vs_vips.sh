#!/usr/bin/env bash
# Whole-process time of tilvo-cli mosaicking a full-width band 1,000 rows high at cell 16 of a
# 24-megapixel JPEG and saving it at quality 80, beside vips doing the same band
# (`extract_area`, `shrink`, `zoom`, `insert`, package libvips-tools); then tilvo-cli
# mosaicking all of a 6000 x 4000 PPM beside `vips shrink` + `zoom`. Both on a RAM disk
# (/dev/shm) so that the disk does not decide; best of five runs each.
# Usage: bench/cli_vs_vips.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
cli=$(cd "$build" && pwd)/cli/tilvo-cli
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/timing.sh
. "$here/timing.sh"
command -v vips >/dev/null || { echo "cli_vs_vips: vips missing (apt-get install libvips-tools)"; exit 0; }
command -v cjpeg >/dev/null || { echo "cli_vs_vips: cjpeg missing (apt-get install libjpeg-turbo-progs)"; exit 0; }
ram=/dev/shm
[ -d "$ram" ] && [ -w "$ram" ] || ram=${TMPDIR:-/tmp}
work=$(mktemp -d "$ram/tilvo-vips.XXXXXX")
trap 'rm -rf "$work"' EXIT

bench_picture "$work/in.ppm"
cjpeg -quality 90 "$work/in.ppm" > "$work/in.jpg"

# The band: rows 1504 … 2503 (the brush of 1000 around row 2004), cells of 16 from row 1504.
t_cli=$(best_ms "$cli" "$work/in.jpg" "$work/out.jpg" --quality 80 --mosaic 16 --brush 1000 \
    --hard-edge --stroke "0,2004;6000,2004")
t_vips=$(best_ms bash -c "cd '$work' && vips extract_area in.jpg band.v 0 1504 6000 1000 && \
    vips shrink band.v small.v 16 16 && vips zoom small.v big.v 16 16 && \
    vips insert in.jpg big.v vips.jpg[Q=80] 0 1504")
echo "band: tilvo-cli ${t_cli} ms, vips extract_area + shrink + zoom + insert ${t_vips} ms"
ratio_line cli_band_vs_vips "$t_cli" "$t_vips" 0.5

# All of the PPM in cells of 16 (four strokes of brush 1000), written as PPM.
w_cli=$(best_ms "$cli" "$work/in.ppm" "$work/out.ppm" --mosaic 16 --brush 1000 --hard-edge \
    --stroke "0,500;6000,500" --stroke "0,1500;6000,1500" --stroke "0,2500;6000,2500" \
    --stroke "0,3500;6000,3500")
w_vips=$(best_ms bash -c "vips shrink '$work/in.ppm' '$work/t.v' 16 16 && \
    vips zoom '$work/t.v' '$work/ref.ppm' 16 16")
echo "whole PPM: tilvo-cli ${w_cli} ms, vips shrink + zoom ${w_vips} ms"
ratio_line cli_whole_ppm_vs_vips "$w_cli" "$w_vips" 0.5
