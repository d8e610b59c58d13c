#!/bin/bash
# A Slurm array: task N redacts the pictures listed in shard N (shards/shard-0000N, cut
# beforehand with `split -l 50 -d -a 5 list.txt shards/shard-`) into out/, with its report in
# reports/. Submit from the folder that holds shards/ on a shared file system:
#   sbatch --array=0-199%20 slurm-array.sh
# A task that is requeued or resubmitted skips what it wrote already. Untried here (no Slurm):
# only its shell syntax is checked.
#SBATCH --job-name=tilvo-redact
#SBATCH --cpus-per-task=1
#SBATCH --mem=512M
#SBATCH --time=01:00:00
#SBATCH --requeue
#SBATCH --output=logs/%A_%a.out
set -euo pipefail
shard=$(printf 'shard-%05d' "$SLURM_ARRAY_TASK_ID")
mkdir -p out reports
exec tilvo-cli --out-dir out --files-from "shards/$shard" -j 1 --skip-existing --quiet \
    --report "reports/$shard.jsonl" --type jpeg --exif-copy --mosaic 16 --rect 0,0,400,120
