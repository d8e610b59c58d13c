#!/usr/bin/env bash
# Memory of the tilvo program with a 6000 × 4000 JPEG open (a 72 MB picture at 24 bits): the
# peak resident size (VmHWM) and the resident size once it shows the picture (VmRSS), raw and net
# of the program started with no picture, as multiples of the picture's 72 MB. The source,
# working and shown copies are the floor (3x); the budgets are 3.5x loaded, 5x at the peak (net
# figures), printed as RATIO lines.
#   bench/memory_open.sh BUILD_DIR     (a build with the GUI; tilvo and bench_open are built there)
# Needs Xvfb and xdotool; runs the program on a display of its own.
set -euo pipefail
build=$(cd "${1:?usage: memory_open.sh BUILD_DIR}" && pwd)
cmake --build "$build" -j 2 --target tilvo bench_open >/dev/null

work=$(mktemp -d /tmp/tilvo_memory_open.XXXXXX)
xvfb_pid=""
cleanup() {
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# The program keeps its settings beside itself: a copy of its own in the scratch folder.
cp "$build/app/tilvo" "$work/tilvo"
"$build/bench/bench_open" --write-jpeg "$work/photo.jpg"
picture_bytes=$((6000 * 4000 * 3))

# A free display number from 97 up.
display=97
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display}" ] && break
    sleep 0.1
done
export DISPLAY=":$display"
unset QT_QPA_PLATFORM

# Starts the program (with the arguments given), waits until its window shows and has painted,
# prints "<VmHWM bytes> <VmRSS bytes>", then ends the program.
measure() {
    "$work/tilvo" "$@" >/dev/null 2>&1 &
    local pid=$!
    if ! timeout 60 xdotool search --sync --onlyvisible --pid "$pid" --name "Tilvo" >/dev/null; then
        echo "the window did not show" >&2
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
    sleep 1
    local hwm rss
    hwm=$(awk '/^VmHWM:/ {print $2 * 1024}' "/proc/$pid/status")
    rss=$(awk '/^VmRSS:/ {print $2 * 1024}' "/proc/$pid/status")
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "$hwm $rss"
}

read -r empty_hwm empty_rss < <(measure)
read -r open_hwm open_rss < <(measure "$work/photo.jpg")

awk -v p="$picture_bytes" -v eh="$empty_hwm" -v er="$empty_rss" -v oh="$open_hwm" \
    -v orss="$open_rss" 'BEGIN {
    mb = 1024 * 1024
    printf "no picture: VmHWM %.0f MiB, VmRSS %.0f MiB\n", eh / mb, er / mb
    printf "picture open: VmHWM %.0f MiB (%.2fx raw), VmRSS %.0f MiB (%.2fx raw)\n",
           oh / mb, oh / p, orss / mb, orss / p
    loaded = (orss - er) / p
    peak = (oh - er) / p
    printf "RATIO window_memory_loaded_vs_picture %.3f budget 3.5 %s\n", loaded,
           (loaded <= 3.5) ? "ok" : "OVER"
    printf "RATIO window_memory_peak_vs_picture %.3f budget 5.0 %s\n", peak,
           (peak <= 5.0) ? "ok" : "OVER"
}'
