// Where the workers of a sweep run. A worker hands each record to its component host process and
// waits for the answer; with the worker and its host on one core of their own, the hand-over is a
// switch on that core, where otherwise the host tends to land on the core of another worker, stops
// it, and leaves its own core idle while it runs. So each worker of a sweep is placed on a core of
// its own, when there are cores enough, and a host serving a run follows the thread that runs it
// (hosting/component_isolation.cpp). Workers take records from one shared queue, so a worker whose
// core is busy with something else only grades fewer of them.
#pragma once

#include <cstddef>
#include <string>

namespace vardenix {

// How many CPUs this process may use, and why that many: the CPUs of its affinity mask
// (sched_getaffinity, which taskset and a Slurm task's allocation narrow), further bounded by the CPU
// quota of its cgroup and of every cgroup above it (cgroup v2's cpu.max, or v1's cpu.cfs_quota_us
// over cpu.cfs_period_us; rounded up), and at least 1. `reason` says where the number came from, for
// --verbose ("the CPUs this process may use (affinity 0-1)", "the cgroup's CPU quota of 1.5"). Where
// the affinity cannot be read, the number of online CPUs.
struct UsableCpus {
  unsigned count = 1;
  std::string reason;
};
UsableCpus CountUsableCpus();

// The same for an affinity of `affinity_count` CPUs listed as `affinity_list` ("0-3,6"; a count of 0
// is not known), with the cgroups read through `proc_self` (normally /proc/self: its mountinfo and
// cgroup files).
UsableCpus CountUsableCpus(unsigned affinity_count, const std::string& affinity_list, const std::string& proc_self);

// Makes the calling thread worker `index` (from 0) of `count` and places it on the `index`-th of the
// CPUs this thread may run on, when there are at least `count` of them and `index` < `count`;
// otherwise it stays where it may run. Answers whether it placed the thread. Places nothing on
// systems without per-thread placement.
bool PlaceWorkerThread(std::size_t index, std::size_t count);

// The CPU the calling thread was placed on by PlaceWorkerThread, or -1 when it was not.
int PlacedCpu();

// Whether the calling thread is a worker of a sweep (PlaceWorkerThread), placed or not: it shares
// the cores with the other workers and their hosts.
bool IsWorkerThread();

}  // namespace vardenix
