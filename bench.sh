#!/usr/bin/env bash
# Builds every benchmark program (Release, without the tests) in build-bench/ and runs each in
# turn. Every program prints its budgets as ratios to a baseline measured in the same run
# ("RATIO <name> <value> budget <b> ok|OVER"). Then the program's memory with a 6000 x 4000 JPEG
# open (under Xvfb), tilvo-cli beside djpeg | cjpeg (plain, a band, the band with --lossless, the
# band's peak memory), and tilvo-cli beside vips (the band; a whole PPM). Arguments are passed to
# every benchmark
# program, e.g. ./bench.sh --benchmark_filter=Pixelate
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTILVO_BUILD_GUI=ON -DTILVO_BUILD_TESTS=OFF -DTILVO_BUILD_BENCH=ON
cmake --build build-bench -j 2 --target bench/all tilvo tilvo-cli

status=0
for p in build-bench/bench/bench_*; do
    [ -x "$p" ] && [ -f "$p" ] || continue
    echo "=== $p"
    "$p" "$@" || status=1
done
echo "=== bench/memory_open.sh"
bench/memory_open.sh build-bench || status=1
echo "=== bench/cli_vs_djpeg.sh"
bench/cli_vs_djpeg.sh build-bench || status=1
echo "=== bench/cli_vs_vips.sh"
bench/cli_vs_vips.sh build-bench || status=1
exit $status
