#!/usr/bin/env bash
# A Slurm job array running korvane over one prompt file: array task k of N takes the prompts
# whose index modulo N is k and writes its records to OUT/out.k.jsonl. The array must be
# contiguous (--array=0-7, or 1-8: tasks are counted from the lowest id).
#   sbatch --array=0-7 tools/slurm/korvane-array.sbatch data.txt [OUT [more korvane options]]
#   tools/merge-shards.sh OUT/out.*.jsonl > all.jsonl
# Environment: KORVANE (the program; default: korvane on PATH), KORVANE_WEIGHTS (passed as
# --weights; default: the program's own lookup). A task that is requeued after pre-emption
# (--requeue below) resumes its file instead of starting again. Exit status is korvane's: 3
# when some prompts were refused (their records carry "error"), which Slurm shows as failed.
#SBATCH --job-name=korvane
#SBATCH --cpus-per-task=8
#SBATCH --mem=8G
#SBATCH --time=24:00:00
#SBATCH --requeue
#SBATCH --output=korvane-%A_%a.log
set -euo pipefail

die() { echo "korvane-array: $*" >&2; exit 1; }
[ $# -ge 1 ] || die "usage: sbatch --array=0-7 $0 PROMPTS [OUT] [korvane options]"
prompts=$1
out=${2:-.}
shift $(($# >= 2 ? 2 : 1))
[ -n "${SLURM_ARRAY_TASK_ID:-}" ] || die "not a job array task: submit with sbatch --array=0-N"
count=${SLURM_ARRAY_TASK_COUNT:?}
first=${SLURM_ARRAY_TASK_MIN:-0}
[ $((SLURM_ARRAY_TASK_MAX - first + 1)) -eq "$count" ] || die "the array ${first}-${SLURM_ARRAY_TASK_MAX} is not contiguous"
shard=$((SLURM_ARRAY_TASK_ID - first))
[ -r "$prompts" ] || die "$prompts: not readable"
mkdir -p "$out"

# One worker per CPU Slurm gave the task (the program's default would be every core of the node).
export KORVANE_THREADS=${SLURM_CPUS_PER_TASK:-1}
args=(--prompts "$prompts" --shard "$shard/$count" --json "$out/out.$shard.jsonl")
[ -n "${KORVANE_WEIGHTS:-}" ] && args+=(--weights "$KORVANE_WEIGHTS")
[ -s "$out/out.$shard.jsonl" ] && args+=(--resume)
exec "${KORVANE:-korvane}" "${args[@]}" "$@"
