#!/usr/bin/env bash
# A sweep on a real Slurm cluster of one node: starts munged, slurmctld and slurmd (as root, from a
# slurm.conf in a temporary folder, with the node's real CPU count), submits examples/slurm's job
# array of 4 shards and its dependent merge job on a bank of 300 records with planted failures,
# waits for them, and compares the merged result with one local `vardenix check --all` of the same
# banks: the same verdict, text report, RuleErrs XML, JSON, JUnit and HTML but for timings and the
# working folder. Stops the daemons it started, by pid.
#
#   sweep_test.sh VARDENIX FILECHECK_MODULE EXAMPLES_SLURM_DIR
#
# Exit status: 0 passed, 1 failed (with the daemons' logs when they could not start), 77 skipped
# (not root: a cluster's daemons need it).
set -euo pipefail
vardenix=$1
filecheck=$2
examples=$3

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: starting slurmctld, slurmd and munged needs root"
  exit 77
fi

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=one_node.sh
. "$here/one_node.sh"

# The banks: 3 modules of 100 questions graded by Vardenix.FileCheck; every 37th asks for a file the
# answer lacks.
cd "$T"
mkdir -p answer/Docs
echo "the model answer" >answer/Docs/report.txt
(cd answer && zip -qr ../answer.zip .)
"$vardenix" bank create-total total.db >/dev/null
"$vardenix" bank create-subject subject.db >/dev/null
n=0
for module in Word Excel PPT; do
  "$vardenix" bank add-module total.db --subject-code S1 --module "$module" >/dev/null
  for i in $(seq 100); do
    rule="1 exists Docs/report.txt"
    [ $((n % 37)) -eq 36 ] && rule="1 exists Docs/missing.txt"
    "$vardenix" bank add-question subject.db --module "$module" --rec-no "$module-$i" --answer "$rule" \
      --archive answer.zip >/dev/null
    n=$((n + 1))
  done
done
sweep=(--ping-name Vardenix.FileCheck --component "$filecheck" --total "$T/total.db"
  --subject "$T/subject.db" --subject-code S1 --seed 1)

# The sweep on the cluster.
start=$(date +%s%N)
ids=$(VARDENIX="$vardenix" VARDENIX_RESULTS="$T/results" VARDENIX_LOCAL="$T/local" \
  SBATCH_OPTIONS="--time=10" "$examples/submit" 4 "${sweep[@]}") || fail "submit failed: $ids"
mkdir -p "$T/local"
read -r array merge <<<"$ids"
echo "submitted array job $array and merge job $merge"
for _ in $(seq 1200); do
  [ -z "$(squeue -h -j "$array,$merge" 2>/dev/null)" ] && break
  sleep 0.1
done
[ -z "$(squeue -h -j "$array,$merge" 2>/dev/null)" ] || fail "the jobs did not finish in 120 s"
cluster_ms=$((($(date +%s%N) - start) / 1000000))
merge_state=$(scontrol show job "$merge" | grep -o 'JobState=[A-Z_]*' | head -1)
merge_exit=$(scontrol show job "$merge" | grep -o ' ExitCode=[0-9:]*' | head -1)
echo "merge job: $merge_state$merge_exit"
[ -s "$T/results/merged.json" ] || fail "the merge job wrote no merged.json ($merge_state$merge_exit)"
for k in 0 1 2 3; do [ -s "$T/results/shard-$k.json" ] || fail "shard $k wrote no result"; done

# The same sweep on this machine, in one run.
start=$(date +%s%N)
status=0
"$vardenix" check "${sweep[@]}" --all --jobs 4 --quiet --json --xml local.xml --junit local.junit.xml \
  --html local.html >local.json || status=$?
local_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 1 ] || fail "the local run answered exit $status, not 1 (not passed)"
"$vardenix" check "${sweep[@]}" --all --quiet >local.txt || true
echo "4 shards on the cluster: ${cluster_ms} ms (submission to merge); one local --jobs 4 run: ${local_ms} ms"

python3 - "$T" <<'PY' || fail "the merged result differs from the local run"
import json, re, sys
t = sys.argv[1]
def read(name):
    with open(f"{t}/{name}", encoding="utf-8") as f:
        return f.read()
def json_result(name):
    result = json.loads(read(name))
    for key in ("elapsedSeconds", "pingPath"):
        result.pop(key)
    for r in result["records"]:
        r.pop("seconds")
    return result
def no_times(text):
    text = re.sub(r'time="[0-9.]+"|Took [0-9.]+ s|\([0-9.]+ s\)', "TIME", text)
    return re.sub(r"<tr><th>Working folder</th>.*</tr>", "FOLDER", text)
merged, local = json_result("results/merged.json"), json_result("local.json")
assert merged == local, "JSON differs"
assert merged["verdict"] is False
failed = [r["recNo"] for r in merged["records"] if r["outcome"] != "passed"]
assert len(merged["records"]) == 300 and len(failed) == 8, (len(merged["records"]), failed)
assert read("results/merged.xml") == read("local.xml"), "XML differs"
assert read("results/merged.txt") == read("local.txt"), "text differs"
assert no_times(read("results/merged.junit.xml")) == no_times(read("local.junit.xml")), "JUnit differs"
assert no_times(read("results/merged.html")) == no_times(read("local.html")), "HTML differs"
print(f"merged result equals the local run: 300 records, {len(failed)} not passed")
PY
[ "$merge_exit" = " ExitCode=1:0" ] || fail "the merge job's exit status is not 1 (not passed): $merge_exit"
echo "passed"
