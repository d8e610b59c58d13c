#!/usr/bin/env bash
# Installs the Debian packages Tilvo needs to build, test and run, but only those that are missing,
# so a second run does not touch apt. Usage: tools/install-deps.sh [build|test|bench|package|fixtures]
set -euo pipefail

build_pkgs=(build-essential cmake ninja-build pkg-config
    libjpeg62-turbo-dev libpng-dev libgif-dev zlib1g-dev libtiff-dev
    qt6-base-dev fonts-dejavu-core
    libavformat-dev libavcodec-dev libswscale-dev libavutil-dev)
build_pkgs+=(libheif-dev libwebp-dev)
# A font with the Japanese texts of the language file (without one the menus show empty boxes).
build_pkgs+=(fonts-ipafont-gothic)
build_pkgs+=(libdeflate-dev)
# The finders: the text module on Tesseract (with its English data), the face helper on dlib's
# static library and OpenCV's core, imgproc and objdetect, with the cascades of opencv-data.
build_pkgs+=(libtesseract-dev libleptonica-dev tesseract-ocr-eng
    libdlib-dev liblapack-dev libopencv-core-dev libopencv-imgproc-dev libopencv-objdetect-dev
    opencv-data)
test_pkgs=(googletest libgtest-dev libbenchmark-dev xvfb xauth xdotool python3 clang libclang-rt-14-dev)
# The batch recipes' tests run GNU parallel and load the Kubernetes YAML.
test_pkgs+=(parallel python3-yaml)
# tools/package-test.sh: making the Debian package and checking it.
package_pkgs=(dpkg-dev lintian desktop-file-utils appstream man-db)

pkgs=("${build_pkgs[@]}")
bench_pkgs=(libbenchmark-dev xvfb xauth xdotool libjpeg-turbo-progs libvips-tools time python3)
[ "${1:-build}" = test ] && pkgs+=("${test_pkgs[@]}")
[ "${1:-build}" = bench ] && pkgs+=("${bench_pkgs[@]}")
[ "${1:-build}" = package ] && pkgs+=("${package_pkgs[@]}")
# Only for tools/make_find_fixtures.py, which remakes the checked-in find fixtures.
[ "${1:-build}" = fixtures ] && pkgs+=(python3-pil python3-skimage fonts-dejavu-core)

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
