#!/usr/bin/env bash
# Builds Tilvo and tilvo-cli (Release, in build/) and starts Tilvo: with the given arguments, or
# with the sample picture when there are none. Missing Debian packages are installed first (with sudo when not
# run as root).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/tools/install-deps.sh" build
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTILVO_BUILD_GUI=ON -DTILVO_BUILD_TESTS=OFF -DTILVO_BUILD_BENCH=OFF >/dev/null
if [ ! -x "$root/build/app/tilvo" ] || [ ! -x "$root/build/cli/tilvo-cli" ]; then
    echo "run.sh: the first build of tilvo and tilvo-cli takes some minutes..." >&2
fi
cmake --build "$root/build" --target tilvo tilvo-cli -j "$(nproc)"
if [ $# -eq 0 ]; then
    set -- "$root/data/sample.jpg"
fi
# File names given relative to the caller's folder stay valid: the program starts from there.
exec "$root/build/app/tilvo" "$@"
