#!/usr/bin/env bash
# Builds every benchmark program (Release, without the GUI and the tests) in build-bench/ and runs
# each of them in turn. Every program prints its budgets as ratios to a baseline measured in the
# same run ("RATIO <name> <value> budget <b> ok|OVER"). Arguments are passed to every program,
# e.g. ./bench.sh --benchmark_filter=Pixelate
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh test
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTILVO_BUILD_GUI=OFF -DTILVO_BUILD_TESTS=OFF -DTILVO_BUILD_BENCH=ON
# The bench/ folder's own aggregate target builds every benchmark program listed there.
cmake --build build-bench -j 2 --target bench/all

mapfile -t programs < <(find build-bench -type f -name 'bench_*' -perm -u+x | sort)
if [ ${#programs[@]} -eq 0 ]; then
    echo "no benchmark programs were built" >&2
    exit 1
fi
status=0
for p in "${programs[@]}"; do
    echo "=== $p"
    "$p" "$@" || status=1
done

# The main window's open speed and its memory with a big picture open need the Qt program: built
# in build-bench-gui, when a virtual X server is at hand for the memory measure.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
    cmake -S . -B build-bench-gui -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DTILVO_BUILD_GUI=ON -DTILVO_BUILD_TESTS=OFF -DTILVO_BUILD_BENCH=ON
    cmake --build build-bench-gui -j 2 --target bench_open tilvo
    echo "=== build-bench-gui/bench/bench_open"
    build-bench-gui/bench/bench_open "$@" || status=1
    echo "=== bench/memory_open.sh"
    bench/memory_open.sh build-bench-gui || status=1
fi
exit $status
