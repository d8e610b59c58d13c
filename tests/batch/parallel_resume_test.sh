#!/usr/bin/env bash
# The GNU parallel recipe of docs/batch.md on this machine: 36 pictures in shards of 4, the run
# killed (SIGKILL to parallel and every tilvo-cli, as a lost node) while one shard is halfway,
# then the same command again. The outputs and the merged report must equal those of one plain
# tilvo-cli run over the whole list.
#   parallel_resume_test.sh TILVO_CLI RECIPE SAMPLE_JPEG WORK
set -euo pipefail
cli=$1 recipe=$2 sample=$3 work=$4
rm -rf "$work"
mkdir -p "$work/in" "$work/home"
cd "$work"
export HOME=$work/home  # GNU parallel keeps its files under $HOME/.parallel
fail() { echo "FAIL: $*" >&2; exit 1; }

# 36 different pictures made from the sample, a few of them PNG; the list names them.
for i in $(seq -w 0 35); do
    if [ $((10#$i % 7)) -eq 3 ]; then
        "$cli" "$sample" "in/p$i.png" --rect "$((10#$i * 5)),10,30,20" 2>/dev/null
        echo "in/p$i.png"
    else
        "$cli" "$sample" "in/p$i.jpg" --exif-copy --rect "$((10#$i * 5)),10,30,20" 2>/dev/null
        echo "in/p$i.jpg"
    fi
done >all.txt
edits=(--type jpeg --exif-copy --mosaic 8 --rect 100,60,90,70 --stroke '20,200;300,20')

# The plain run.
"$cli" --out-dir plain --files-from all.txt -j 1 --quiet --report plain.jsonl "${edits[@]}"

# The recipe, killed while the sixth shard (p20 … p23) waits on p21, a named pipe for now.
mv in/p21.jpg p21.jpg
mkfifo in/p21.jpg
SHARD_SIZE=4 JOBS=2 TILVO_CLI=$cli setsid "$recipe" all.txt out run "${edits[@]}" \
    >first.log 2>&1 &
leader=$!
for _ in $(seq 600); do
    [ -f out/p20.jpg ] && grep -q '"input":"in/p20.jpg"' run/reports/shard-00005.jsonl 2>/dev/null &&
        break
    sleep 0.1
done
[ -f out/p20.jpg ] || fail "the first run never reached p20"
kill -KILL -- "-$leader"
wait "$leader" 2>/dev/null || true
rm in/p21.jpg
mv p21.jpg in/p21.jpg

# The run was cut short: outputs and job log entries are missing.
written=$(find out -maxdepth 1 -name 'p*' | wc -l)
[ "$written" -lt 36 ] || fail "the first run was not interrupted ($written outputs)"
logged=$(tail -n +2 run/jobs.log | wc -l)
[ "$logged" -lt 9 ] || fail "every shard finished before the kill"
echo "killed with $written of 36 outputs written and $logged of 9 shards logged"

# The same command again resumes.
SHARD_SIZE=4 JOBS=2 TILVO_CLI=$cli "$recipe" all.txt out run "${edits[@]}" >second.log 2>&1 ||
    fail "the resumed run failed: $(cat second.log)"
grep -q '"status":"skipped"' run/reports/shard-00005.jsonl ||
    fail "the shard cut short did not skip what it had written"

# The outputs (temporary files of killed processes start with a dot and are left out) ...
diff <(cd plain && find . -maxdepth 1 -name 'p*' | sort) \
    <(cd out && find . -maxdepth 1 -name 'p*' | sort) || fail "other outputs"
for f in plain/p*; do
    cmp -s "$f" "out/${f#plain/}" || fail "out/${f#plain/} differs from the plain run's"
done
# ... and the merged report, but for the times and the output folders' names.
strip() { sed 's/,"seconds":[0-9.]*}$/}/; s/"output":"[a-z]*\//"output":"/' "$1" | sort; }
[ "$(wc -l <plain.jsonl)" -eq 36 ] || fail "the plain report has $(wc -l <plain.jsonl) lines"
diff <(strip plain.jsonl) <(strip run/report.jsonl) || fail "the merged report differs"
echo "resumed: 36 outputs and the merged report equal the plain run's"
