// Where the workers of a sweep run. A worker hands each record to its component host process and
// waits for the answer; with the worker and its host on one core of their own, the hand-over is a
// switch on that core, where otherwise the host tends to land on the core of another worker, stops
// it, and leaves its own core idle while it runs. So each worker of a sweep is placed on a core of
// its own, when there are cores enough, and a host serving a run follows the thread that runs it
// (hosting/component_isolation.cpp). Workers take records from one shared queue, so a worker whose
// core is busy with something else only grades fewer of them.
#pragma once

#include <cstddef>

namespace vardenix {

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
