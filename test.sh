#!/usr/bin/env bash
# Sets everything up on a Debian 12 machine and runs every test: installs missing packages,
# configures and builds a Release tree in build/, and runs the tests through ctest.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTILVO_BUILD_TESTS=ON -DTILVO_BUILD_GUI=ON -DTILVO_BUILD_BENCH=OFF
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)" "$@"
