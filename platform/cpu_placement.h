// Where the workers of a sweep run. A worker hands each record to its component
// host process and waits for the answer; with the worker and its host on one
// core of their own, the hand-over is a switch on that core, where otherwise
// the host tends to land on the core of another worker, stops it, and leaves
// its own core idle while it runs. So each worker of a sweep is placed on a
// core of its own, when there are cores enough, and a host serving a run
// follows the thread that runs it (platform/component_isolation.cpp). Workers
// take records from one shared queue, so a worker whose core is busy with
// something else only grades fewer of them.
#pragma once

#include <cstddef>

namespace vardenix {

// Places the calling thread on the `index`-th (from 0) of the CPUs this thread
// may run on, when there are at least `count` of them and `index` < `count`;
// otherwise changes nothing. Answers whether it placed the thread. Does nothing
// on systems without per-thread placement.
bool PlaceWorkerThread(std::size_t index, std::size_t count);

// The CPU the calling thread was placed on by PlaceWorkerThread, or -1 when it
// was not.
int PlacedCpu();

} // namespace vardenix
