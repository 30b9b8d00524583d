#!/usr/bin/env bash
# A Slurm job array that spreads a sample table over several machines with
# pelkaro-batch --shard, one task per shard, all writing into one shared
# output directory; then joins the shards' summaries into one summary.csv and
# report.html.  Submit from the directory the table's file names are
# relative to:
#
#   sbatch --array=0-7 scripts/slurm_batch.sh base.par table.csv out
#   # after the array has finished (or: sbatch --dependency=afterany:JOBID ...):
#   pelkaro-batch --report out
#
# The number of shards is the size of the array; give the array as 0-(N-1).
# An array given from 1 (--array=1-8) works too: the task's index is taken
# relative to the array's lowest index.
#SBATCH --job-name=pelkaro-batch
#SBATCH --cpus-per-task=4
#SBATCH --time=01:00:00
#SBATCH --output=pelkaro-batch-%A_%a.log
set -euo pipefail
if [ $# -ne 3 ]; then
    echo "usage: sbatch --array=0-N-1 $0 BASE.par TABLE.csv OUTDIR" >&2
    exit 2
fi
: "${SLURM_ARRAY_TASK_ID:?not a Slurm array task}"
first=${SLURM_ARRAY_TASK_MIN:-0}
shards=${SLURM_ARRAY_TASK_COUNT:?not a Slurm array task}
k=$((SLURM_ARRAY_TASK_ID - first))
exec pelkaro-batch -j "${SLURM_CPUS_PER_TASK:-1}" -o "$3" --shard "$k/$shards" "$1" "$2"
