# Shared by the whole-process benchmarks: sourced, not run.
#   bench_picture FILE.ppm [W H]   writes the photo-like picture (gradients plus noise), 6000 x 4000
#                            unless W and H are given
#   best_ms CMD...           the best wall time in ms of five runs of the command
#   peak_kib CMD...          the command's peak resident size in KiB (one run)
#   ratio_line NAME A B BUDGET [NOTE]   prints "RATIO NAME A/B budget BUDGET ok|OVER NOTE"

bench_picture() {
    python3 - "$1" "${2:-6000}" "${3:-4000}" <<'PY'
import os, sys
w, h = int(sys.argv[2]), int(sys.argv[3])
noise = os.urandom(w * 3)
base = bytes(((x // 3) * 255 // w + (noise[x] & 15)) & 255 for x in range(w * 3))
with open(sys.argv[1], "wb") as f:
    f.write(b"P6 %d %d 255\n" % (w, h))
    for y in range(h):
        shift = y * 255 // h
        f.write(base.translate(bytes((v + shift) & 255 for v in range(256))))
PY
}

best_ms() {
    local b=999999
    for _ in 1 2 3 4 5; do
        local s e
        s=$(date +%s%N)
        "$@" >/dev/null 2>&1
        e=$(date +%s%N)
        local ms=$(((e - s) / 1000000))
        [ "$ms" -lt "$b" ] && b=$ms
    done
    echo "$b"
}

peak_kib() {
    local f
    f=$(mktemp)
    /usr/bin/time -o "$f" -f "%M" "$@" >/dev/null 2>&1
    tail -n 1 "$f"
    rm -f "$f"
}

ratio_line() {
    awk -v n="$1" -v a="$2" -v b="$3" -v budget="$4" -v note="${5:-}" 'BEGIN {
        r = a / b
        printf "RATIO %s %.3f budget %s %s %s\n", n, r, budget, (r <= budget) ? "ok" : "OVER", note
    }'
}
