#!/usr/bin/env bash
# The batch recipes that cannot run here (Kubernetes, Slurm) are at least well-formed: the shell
# scripts parse, the YAML loads and is an Indexed Job whose command names tilvo-cli. Exit 77
# (skipped) without python3-yaml.
#   check_recipes.sh DOCS_BATCH_DIR
set -euo pipefail
dir=$1
bash -n "$dir/parallel-run.sh"
bash -n "$dir/slurm-array.sh"
grep -q '^#SBATCH --array\|sbatch --array' "$dir/slurm-array.sh"
python3 -c 'import yaml' 2>/dev/null || { echo "python3-yaml is missing: YAML not checked"; exit 77; }
python3 - "$dir/indexed-job.yaml" <<'PY'
import sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
assert job["kind"] == "Job" and job["apiVersion"] == "batch/v1", job
assert job["spec"]["completionMode"] == "Indexed"
container = job["spec"]["template"]["spec"]["containers"][0]
script = " ".join(container.get("command", []) + container.get("args", []))
for word in ("tilvo-cli", "--files-from", "--skip-existing", "--report", "JOB_COMPLETION_INDEX"):
    assert word in script, word
print("indexed-job.yaml: an Indexed Job running tilvo-cli")
PY
