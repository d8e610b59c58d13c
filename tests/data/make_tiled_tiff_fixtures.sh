#!/bin/sh
# Writes the tiled TIFF fixtures of tests/data/read/tif whose tiles are not a multiple of 1,024
# bytes (libtiff reads such uncompressed tiles through a memory mapping): the files are made by
# libtiff's tiffcp from a picture ImageMagick draws, the expected pictures by libtiff's tiff2rgba
# (converted to PNG by ImageMagick). Run from the repository root; the tests never need the tools.
set -eu
# Debian names ImageMagick 6 convert-im6.q16; another convert earlier on PATH is not taken.
convert() { if command -v convert-im6.q16 >/dev/null; then convert-im6.q16 "$@"; else command convert "$@"; fi; }
out=tests/data/read/tif
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 37x29 gradient:red-blue -swirl 120 -depth 8 -type TrueColor -compress none \
    "$tmp/rgb.tif"
convert "$tmp/rgb.tif" -colorspace Gray -depth 8 -type Grayscale -compress none "$tmp/gray.tif"
convert "$tmp/rgb.tif" -depth 16 -type TrueColor -compress none "$tmp/rgb16.tif"
make() { # name source tiffcp-options...
    name=$1 src=$2
    shift 2
    tiffcp "$@" "$tmp/$src.tif" "$out/$name.tif"
    tiff2rgba "$out/$name.tif" "$tmp/$name.rgba.tif"
    convert "$tmp/$name.rgba.tif" -background white -alpha remove -alpha off -depth 8 \
        "PNG24:$out/$name.png"
}
make tiled16_rgb_none rgb -c none -t -w 16 -l 16
make tiled48_rgb_none rgb -c none -t -w 48 -l 48
make tiled80_rgb_none rgb -c none -t -w 80 -l 80
make tiled112_rgb_none rgb -c none -t -w 112 -l 112
make tiled16_gray_none gray -c none -t -w 16 -l 16
make tiled16_rgb_lzw rgb -c lzw -t -w 16 -l 16
make tiled32_gray_packbits gray -c packbits -t -w 32 -l 32
make tiled16_rgb16_none rgb16 -c none -t -w 16 -l 16
