#!/usr/bin/env bash
# Builds the reader fuzzers with clang and libFuzzer, replays the crash files that once broke a
# reader, then fuzzes every target briefly from the test fixtures. Any crash, hang or sanitizer
# report fails the run. FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTILVO_BUILD_FUZZERS=ON -DTILVO_BUILD_GUI=OFF -DTILVO_BUILD_TESTS=OFF -DTILVO_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$(nproc)"

crashers=()
[ -d tests/data/crashers ] && while IFS= read -r -d '' f; do crashers+=("$f"); done \
    < <(find tests/data/crashers -type f ! -name '*.md' -print0)

for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    ext=${name#fuzz_}
    if [ ${#crashers[@]} -gt 0 ]; then
        echo "== $name: replaying ${#crashers[@]} crash files"
        "$target" -runs=1 "${crashers[@]}" >/dev/null 2>"build-fuzz/$name-replay.log" || {
            cat "build-fuzz/$name-replay.log"; exit 1; }
    fi
    corpus=$(mktemp -d)
    seeds=tests/data/read/$ext
    [ "$ext" = exif ] && seeds=tests/data/read/jpeg
    [ "$ext" = verify ] && seeds=tests/data/read/jpeg
    [ "$ext" = jpegbands ] && seeds=tests/data/read/jpeg
    [ "$ext" = jpegsplice ] && seeds=tests/data/read/jpeg
    [ "$ext" = ppm ] && seeds=tests/data/read/pnm
    [ "$ext" = lbm ] && seeds=tests/data/read/ilbm
    [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null || true
    echo "== $name: fuzzing for ${seconds}s"
    "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        "$corpus" 2>"build-fuzz/$name.log" || { tail -n 60 "build-fuzz/$name.log"; exit 1; }
    grep -E '^stat::number_of_executed_units' "build-fuzz/$name.log" || true
    rm -rf "$corpus"
done
