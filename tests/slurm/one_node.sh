# Starts a one-node Slurm cluster as root, for tests/slurm/sweep_test.sh and bench/slurm-sweep, which
# source it: munged with a generated key, slurmctld and slurmd from a slurm.conf in a new temporary
# folder $T (the node's real CPU count, SlurmUser=root, proctrack/linuxproc, task/none). Sets T,
# SLURM_CONF (exported), host and cpus; stops the daemons it started, by pid, and removes $T on exit
# (VARDENIX_KEEP_SLURM_TEST keeps $T). `fail MESSAGE` ends the script with status 1 and the daemons'
# logs. Needs set -euo pipefail in the sourcing script.

T=$(mktemp -d /tmp/vardenix-slurm.XXXXXX)
chmod 0755 "$T"
pids=()
stop_daemons() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
cleanup() {
  stop_daemons
  if [ -n "${VARDENIX_KEEP_SLURM_TEST:-}" ]; then echo "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  local log
  for log in "$T"/munged.log "$T"/slurmctld.log "$T"/slurmd.log "$T"/results/*.log; do
    [ -f "$log" ] || continue
    echo "==== $log (last 60 lines)" >&2
    tail -n 60 "$log" >&2
  done
  exit 1
}

for program in munged slurmctld slurmd sbatch squeue sinfo scontrol; do
  command -v "$program" >/dev/null || fail "$program is not installed (scripts/setup installs slurm-wlm and munge)"
done

# Free TCP ports for the controller and the node daemon.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

# munge with a key of its own and its socket in the temporary folder.
mkdir -p "$T/munge" && chmod 0700 "$T/munge"
head -c 1024 /dev/urandom >"$T/munge/munge.key"
chmod 0400 "$T/munge/munge.key"
munged --foreground --force --key-file="$T/munge/munge.key" --socket="$T/munge/munge.sock" \
  --pid-file="$T/munge/munged.pid" --seed-file="$T/munge/munged.seed" --log-file="$T/munged.log" \
  >>"$T/munged.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$T/munge/munge.sock" ] && break; sleep 0.1; done
[ -S "$T/munge/munge.sock" ] || fail "munged did not start"

host=$(hostname -s)
cpus=$(nproc --all)
mkdir -p "$T/state" "$T/spool" "$T/results"
cat >"$T/slurm.conf" <<CONF
ClusterName=vardenix-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$T/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$T/state
SlurmdSpoolDir=$T/spool
SlurmctldPidFile=$T/slurmctld.pid
SlurmdPidFile=$T/slurmd.pid
SlurmctldLogFile=$T/slurmctld.log
SlurmdLogFile=$T/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MinJobAge=600
SlurmctldTimeout=30
SlurmdTimeout=30
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$T/slurm.conf

slurmctld -D -i -f "$SLURM_CONF" >>"$T/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$host" >>"$T/slurmd.log" 2>&1 &
pids+=($!)
state=
for _ in $(seq 300); do
  state=$(sinfo -h -n "$host" -o %T 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.1
done
[ "$state" = idle ] || fail "the node did not come up (state: \"${state:-no answer}\")"
echo "one-node Slurm up: $host, $cpus CPUs, controller on port $ctld_port"
