#!/bin/bash
# One shard of a sweep of every question: a task of a Slurm job array, submitted by ./submit (or by
# hand: sbatch --array=0-$((N-1)) --export=ALL,VARDENIX_SHARDS=N,... sweep.sbatch).
#
# Task K runs `vardenix check --all --shard K/N --json` in a working folder of its own on the node's
# local disk and writes its result to $VARDENIX_RESULTS/shard-K.json on shared storage, in one
# rename, so a task that dies leaves no half-written result. The task succeeds when the check ran
# (passed or not passed: exit 0 or 1); a command that could not run (exit 2) or a signal fails it,
# and with it the dependent merge job.
#
# Settings, from the environment (sbatch --export):
#   VARDENIX           the vardenix command (default: vardenix on PATH)
#   VARDENIX_RESULTS   the shared folder for the shards' results (required)
#   VARDENIX_SHARDS    N, the number of shards (default: the array's task count; give it when
#                      resubmitting some shards, whose array is smaller)
#   VARDENIX_ARGS      the sweep's arguments: --ping-name, --total, --subject, --subject-code, ...
#                      (required; word-split, so no blanks inside one argument)
#   VARDENIX_LOCAL     the node-local folder for the working folders (default: $TMPDIR or /tmp)
#SBATCH --job-name=vardenix-sweep
#SBATCH --cpus-per-task=1
#SBATCH --output=vardenix-sweep-%A_%a.log
set -euo pipefail

: "${VARDENIX_RESULTS:?set VARDENIX_RESULTS to the shared results folder}"
: "${VARDENIX_ARGS:?set VARDENIX_ARGS to the sweep arguments (--ping-name ... --subject-code ...)}"
vardenix=${VARDENIX:-vardenix}
k=${SLURM_ARRAY_TASK_ID:?not a task of a job array}
n=${VARDENIX_SHARDS:-${SLURM_ARRAY_TASK_COUNT:?not a task of a job array}}
local_dir=${VARDENIX_LOCAL:-${TMPDIR:-/tmp}}

partial="$VARDENIX_RESULTS/.shard-$k.json.$$"
trap 'rm -f "$partial"' EXIT
status=0
# shellcheck disable=SC2086  # VARDENIX_ARGS is a list of arguments
TMPDIR=$local_dir "$vardenix" check $VARDENIX_ARGS --all --shard "$k/$n" --json --quiet >"$partial" || status=$?
if [ "$status" -gt 1 ]; then
  echo "shard $k/$n could not run (exit $status):" >&2
  cat "$partial" >&2
  exit "$status"
fi
mv "$partial" "$VARDENIX_RESULTS/shard-$k.json"
echo "shard $k/$n: $([ "$status" -eq 0 ] && echo passed || echo 'not passed')"
