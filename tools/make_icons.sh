#!/usr/bin/env bash
# Renders app/tilvo.svg into the PNG icons the package installs in the hicolor theme
# (packaging/icons/<N>x<N>/tilvo.png). Run once after the SVG changes and commit the result;
# the build itself needs no SVG renderer. Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/.."
for n in 16 22 24 32 48 64 128 256; do
    mkdir -p "packaging/icons/${n}x${n}"
    rsvg-convert -w "$n" -h "$n" -o "packaging/icons/${n}x${n}/tilvo.png" app/tilvo.svg
done
