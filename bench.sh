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
exit $status
