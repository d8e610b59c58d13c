#!/usr/bin/env bash
# Whole-process time of tilvo-cli on a 24-megapixel JPEG (made by cjpeg at quality 90) beside
# `djpeg | cjpeg -quality 80` on the same file (libjpeg-turbo's own programs, package
# libjpeg-turbo-progs), everything on a RAM disk (/dev/shm) so that the disk does not decide:
# - plain: open and save as JPEG quality 80 without an edit;
# - band: mosaic a full-width band 1,000 rows high at cell 16 (hard edge), save at quality 80;
# - the same band with --lossless (the untouched MCU rows' bits copied from the source);
# - the band case's peak resident memory net of the program doing nothing (--version), as a
#   multiple of the decoded picture (72,000,000 bytes).
# Best of five runs each. Usage: bench/cli_vs_djpeg.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
cli=$(cd "$build" && pwd)/cli/tilvo-cli
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/timing.sh
. "$here/timing.sh"
command -v djpeg >/dev/null && command -v cjpeg >/dev/null || {
    echo "cli_vs_djpeg: djpeg/cjpeg missing (apt-get install libjpeg-turbo-progs)"; exit 0; }
ram=/dev/shm
[ -d "$ram" ] && [ -w "$ram" ] || ram=${TMPDIR:-/tmp}
work=$(mktemp -d "$ram/tilvo-djpeg.XXXXXX")
trap 'rm -rf "$work"' EXIT

bench_picture "$work/in.ppm"
cjpeg -quality 90 "$work/in.ppm" > "$work/in.jpg"
rm "$work/in.ppm"
band=(--mosaic 16 --brush 1000 --hard-edge --stroke "0,2004;6000,2004")

t_ref=$(best_ms bash -c "djpeg '$work/in.jpg' | cjpeg -quality 80 > '$work/ref.jpg'")
t_plain=$(best_ms "$cli" "$work/in.jpg" "$work/plain.jpg" --quality 80)
t_band=$(best_ms "$cli" "$work/in.jpg" "$work/band.jpg" --quality 80 "${band[@]}")
t_ll=$(best_ms "$cli" "$work/in.jpg" "$work/ll.jpg" --lossless "${band[@]}")
m_empty=$(peak_kib "$cli" --version)
m_band=$(peak_kib "$cli" "$work/in.jpg" "$work/band.jpg" --quality 80 "${band[@]}")
echo "djpeg|cjpeg ${t_ref} ms; tilvo-cli plain ${t_plain} ms, band ${t_band} ms," \
    "band --lossless ${t_ll} ms; peak memory ${m_band} KiB, doing nothing ${m_empty} KiB"
ratio_line cli_plain_vs_djpeg_cjpeg "$t_plain" "$t_ref" 1.05
ratio_line cli_band_vs_djpeg_cjpeg "$t_band" "$t_ref" 1.15
ratio_line cli_lossless_band_vs_djpeg_cjpeg "$t_ll" "$t_ref" 0.8
ratio_line cli_band_peak_memory_vs_picture "$(((m_band - m_empty) * 1024))" 72000000 1.4
