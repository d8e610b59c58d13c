#!/usr/bin/env bash
# Writes the PBM, PGM and PPM fixtures of tests/data/read/pnm with netpbm (and ImageMagick for the
# 16-bit PNG that pngtopnm turns into a two-byte-sample PPM): each <case>.ppm/.pgm/.pbm beside
# <case>.png, the picture netpbm itself decodes from it (pnmdepth 255 | pnmtopng). Only needed to
# make the files again; the tests read the checked-in copies.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/read/pnm"
im=/usr/bin/convert-im6.q16
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

# The source: 13 x 7 pixels of gradients that touch every channel, as a plain PPM.
{
    echo "P3 13 7 255"
    for y in $(seq 0 6); do
        for x in $(seq 0 12); do
            echo "$(( (x * 20 + y * 3) % 256 )) $(( y * 40 )) $(( 255 - x * 19 ))"
        done
    done
} > "$tmp/src.ppm"

ppmtoppm < "$tmp/src.ppm" > "$out/p6.ppm"
pnmtoplainpnm < "$tmp/src.ppm" > "$out/p3_plain.ppm"
ppmtopgm < "$tmp/src.ppm" > "$out/p5.pgm"
ppmtopgm < "$tmp/src.ppm" | pnmtoplainpnm > "$out/p2_plain.pgm"
ppmtopgm < "$tmp/src.ppm" | pgmtopbm -threshold > "$out/p4.pbm"
ppmtopgm < "$tmp/src.ppm" | pgmtopbm -threshold | pnmtoplainpnm > "$out/p1_plain.pbm"
pnmdepth 100 < "$tmp/src.ppm" > "$out/p6_maxval100.ppm"
ppmtopgm < "$tmp/src.ppm" | pnmdepth 1000 > "$out/p5_maxval1000.pgm"
pnmdepth 7 < "$tmp/src.ppm" | pnmtoplainpnm > "$out/p3_maxval7.ppm"

# Two-byte samples as pngtopnm writes them from a 16-bit PNG whose low bytes matter.
$im -size 7x13 gradient:'#10203f40a0b0-#f0e0d00c0b0a' -rotate 90 -depth 16 "PNG48:$tmp/deep.png"
pngtopnm "$tmp/deep.png" > "$out/p6_16bit_pngtopnm.ppm"

# Comments of any length between tokens (one longer than 255 characters), tabs and CR LF.
{
    printf 'P2\r\n# a comment\r\n20\t# width, then height\n'
    printf '#%0300d\n' 0
    printf '12 #\n255\n'
    for y in $(seq 0 11); do
        for x in $(seq 0 19); do printf '%d ' $(( (x * 13 + y * 17) % 256 )); done
        printf '\n'
    done
} > "$out/p2_comments.pgm"

for f in "$out"/*.ppm "$out"/*.pgm "$out"/*.pbm; do
    pnmdepth 255 < "$f" 2>/dev/null | pnmtopng > "${f%.*}.png" 2>/dev/null || pnmtopng < "$f" > "${f%.*}.png"
done
