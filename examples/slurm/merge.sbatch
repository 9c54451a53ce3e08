#!/bin/bash
# The merge of a sweep's shards, submitted by ./submit to start once every shard task has succeeded
# (--dependency=afterok:ARRAY_JOB). Writes the sweep's result into $VARDENIX_RESULTS: merged.json,
# merged.txt (the text report), merged.xml (RuleErrs), merged.junit.xml and merged.html, exactly as
# one `vardenix check --all` run writes them. Exit status: 0 passed, 1 not passed, 2 the shards
# could not be merged (one missing, given twice, or of another sweep: the log names it).
#
# Settings, from the environment: VARDENIX, VARDENIX_RESULTS and VARDENIX_SHARDS as for
# sweep.sbatch.
#SBATCH --job-name=vardenix-merge
#SBATCH --cpus-per-task=1
#SBATCH --output=vardenix-merge-%j.log
set -euo pipefail

: "${VARDENIX_RESULTS:?set VARDENIX_RESULTS to the shared results folder}"
: "${VARDENIX_SHARDS:?set VARDENIX_SHARDS to the number of shards}"
vardenix=${VARDENIX:-vardenix}
shards=()
for ((k = 0; k < VARDENIX_SHARDS; k++)); do shards+=("$VARDENIX_RESULTS/shard-$k.json"); done

status=0
"$vardenix" merge "${shards[@]}" --json --xml "$VARDENIX_RESULTS/merged.xml" \
  --junit "$VARDENIX_RESULTS/merged.junit.xml" --html "$VARDENIX_RESULTS/merged.html" \
  >"$VARDENIX_RESULTS/merged.json" || status=$?
if [ "$status" -le 1 ]; then
  "$vardenix" merge "${shards[@]}" --quiet >"$VARDENIX_RESULTS/merged.txt" || true
fi
echo "merge of $VARDENIX_SHARDS shards: exit $status"
exit "$status"
