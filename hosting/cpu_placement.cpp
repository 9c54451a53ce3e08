#include "hosting/cpu_placement.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace vardenix {
namespace {

thread_local int placed_cpu = -1;
thread_local bool worker_thread = false;

}  // namespace

bool PlaceWorkerThread(std::size_t index, std::size_t count) {
  worker_thread = true;
#if defined(__linux__)
  if (index >= count) return false;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  if (static_cast<std::size_t>(CPU_COUNT(&allowed)) < count) return false;
  std::size_t seen = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (seen++ != index) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (::sched_setaffinity(0, sizeof one, &one) != 0) return false;
    placed_cpu = cpu;
    return true;
  }
  return false;
#else
  (void)index;
  (void)count;
  return false;
#endif
}

int PlacedCpu() { return placed_cpu; }

bool IsWorkerThread() { return worker_thread; }

}  // namespace vardenix
