#!/usr/bin/env bash
# Redacts every picture named in LIST into OUTDIR with GNU parallel: the list is cut into shards
# of SHARD_SIZE names (default 50), and each shard is one tilvo-cli process, JOBS of them at a time
# (default: the number of cores), on this machine or on the hosts of SSHLOGIN (GNU parallel's
# --sshlogin: every host sees the same folders at the same paths and has tilvo-cli installed).
#
#   parallel-run.sh LIST OUTDIR WORK [tilvo-cli options...]
#
# WORK keeps the shards, GNU parallel's job log, one report per shard and the merged report
# WORK/report.jsonl. Run the same command again after a crash, a kill or a lost host: the job log
# (--resume-failed) skips the shards that finished and reruns those that failed or never ended,
# and in a shard that was cut short tilvo-cli skips the outputs already written
# (--skip-existing); the outputs and the merged report are those of one uninterrupted run.
# Exit status: 0 when every shard succeeded.
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: $0 LIST OUTDIR WORK [tilvo-cli options...]" >&2
    exit 2
fi
list=$1 out=$2 work=$3
shift 3
shard_size=${SHARD_SIZE:-50}
jobs=${JOBS:-$(nproc)}
tilvo_cli=${TILVO_CLI:-tilvo-cli}

mkdir -p "$work/shards" "$work/reports" "$out"
# The shards are cut once; a rerun uses the same ones, so the job log's numbers still match.
if [ ! -e "$work/shards/complete" ]; then
    split -l "$shard_size" -d -a 5 "$list" "$work/shards/shard-"
    touch "$work/shards/complete"
fi

hosts=()
[ -n "${SSHLOGIN:-}" ] && hosts=(--sshlogin "$SSHLOGIN" --workdir "$PWD")
status=0
# -q: the options reach tilvo-cli as they are (a stroke's ";" is not the shell's). One file at a
# time inside each tilvo-cli (-j 1): the shards are the parallelism.
find "$work/shards" -name 'shard-*' | sort |
    parallel -q --joblog "$work/jobs.log" --resume-failed -j "$jobs" "${hosts[@]}" \
        "$tilvo_cli" --out-dir "$out" --files-from {} -j 1 --skip-existing --quiet \
        --report "$work/reports/{/}.jsonl" "$@" || status=$?

# One line per input: its last line that is not "skipped" (a rerun reports what the run before
# it wrote as skipped), or its "skipped" line when it has no other (the output was there before).
find "$work/reports" -name '*.jsonl' | sort | xargs -r cat | awk '
    {
        key = substr($0, 1, index($0, "\",\"output\":"))
        if (!(key in line)) order[++n] = key
        else if ($0 ~ /"status":"skipped"/) next
        line[key] = $0
    }
    END { for (i = 1; i <= n; i++) print line[order[i]] }' >"$work/report.jsonl"
exit $status
