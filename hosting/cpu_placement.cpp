#include "hosting/cpu_placement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace vardenix {
namespace {

thread_local int placed_cpu = -1;
thread_local bool worker_thread = false;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

bool Lists(const std::string& comma_list, const std::string& word) {
  for (const std::string& w : Split(comma_list, ',')) {
    if (w == word) return true;
  }
  return false;
}

// A number read whole from a file, or nullopt.
std::optional<double> ReadNumber(const std::string& file, std::size_t index = 0) {
  std::ifstream in(file);
  std::string word;
  for (std::size_t i = 0; i <= index; ++i) {
    if (!(in >> word)) return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(word.c_str(), &end);
  if (end == word.c_str() || *end != '\0') return std::nullopt;
  return value;
}

// The CPUs one cgroup may use by its quota, or 0 for no quota: cgroup v2's cpu.max ("150000 100000"
// is 1.5; "max 100000" none), cgroup v1's cpu.cfs_quota_us over cpu.cfs_period_us (-1: none).
double QuotaOf(const std::string& folder, bool v2) {
  std::optional<double> quota, period;
  if (v2) {
    quota = ReadNumber(folder + "/cpu.max", 0);
    period = ReadNumber(folder + "/cpu.max", 1);
  } else {
    quota = ReadNumber(folder + "/cpu.cfs_quota_us");
    period = ReadNumber(folder + "/cpu.cfs_period_us");
  }
  if (!quota || !period || !(*quota > 0) || !(*period > 0)) return 0;
  return *quota / *period;
}

// The smallest CPU quota of the process's cgroup and of the cgroups above it, in the hierarchy that
// governs CPU time (cgroup v2, or v1's cpu controller), or 0 for none. The hierarchies are found
// through the process's own mount table, so a container's view of them is taken as it is.
double CgroupCpuQuota(const std::string& proc_self) {
  struct Hierarchy {
    std::string root, mount_point, path;
    bool found = false;
  } v2, v1;
  std::ifstream mounts(proc_self + "/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // "36 25 0:31 / /sys/fs/cgroup/cpu rw,... shared:15 - cgroup cgroup rw,cpu,cpuacct"
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const std::vector<std::string> before = Split(line.substr(0, dash), ' ');
    const std::vector<std::string> after = Split(line.substr(dash + 3), ' ');
    if (before.size() < 5 || after.size() < 3) continue;
    if (after[0] == "cgroup2" && !v2.found) {
      v2 = {before[3], before[4], {}, true};
    } else if (after[0] == "cgroup" && Lists(after[2], "cpu") && !v1.found) {
      v1 = {before[3], before[4], {}, true};
    }
  }
  std::ifstream cgroups(proc_self + "/cgroup");
  while (std::getline(cgroups, line)) {
    // "0::/job-7" (v2) or "4:cpu,cpuacct:/job-7" (v1)
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) v2.path = path;
    else if (Lists(controllers, "cpu")) v1.path = path;
  }
  double smallest = 0;
  for (const Hierarchy* h : {&v2, &v1}) {
    if (!h->found || h->path.empty() || h->path[0] != '/') continue;
    // The part of the hierarchy below the mount's root, walked up to that root.
    std::string below = h->path;
    if (h->root != "/") {
      if (below.compare(0, h->root.size(), h->root) != 0) continue;
      below = below.substr(h->root.size());
    }
    while (!below.empty() && below.back() == '/') below.pop_back();
    for (;;) {
      const double q = QuotaOf(h->mount_point + below, h == &v2);
      if (q > 0 && (smallest == 0 || q < smallest)) smallest = q;
      if (below.empty()) break;
      below.erase(below.rfind('/'));
    }
  }
  return smallest;
}

std::string FormatQuota(double quota) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", quota);
  std::string s = text;
  while (s.size() > 3 && s.back() == '0') s.pop_back();  // 1.50 -> 1.5, 1.00 -> 1.0
  return s;
}

}  // namespace

UsableCpus CountUsableCpus(unsigned affinity_count, const std::string& affinity_list, const std::string& proc_self) {
  UsableCpus cpus;
  if (affinity_count > 0) {
    cpus.count = affinity_count;
    cpus.reason = "the CPUs this process may use (affinity " + affinity_list + ")";
  } else {
    cpus.count = std::max(1u, std::thread::hardware_concurrency());
    cpus.reason = "the online CPUs";
  }
  const double quota = CgroupCpuQuota(proc_self);
  if (quota > 0) {
    const auto by_quota = static_cast<unsigned>(std::max(1.0, std::ceil(quota - 1e-9)));
    if (by_quota < cpus.count) {
      cpus.count = by_quota;
      cpus.reason = "the cgroup's CPU quota of " + FormatQuota(quota);
    }
  }
  return cpus;
}

UsableCpus CountUsableCpus() {
  unsigned count = 0;
  std::string list;
#if defined(__linux__)
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    count = static_cast<unsigned>(CPU_COUNT(&allowed));
    // "0-3,6": runs of consecutive CPUs.
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      int last = cpu;
      while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &allowed)) ++last;
      if (!list.empty()) list += ',';
      list += std::to_string(cpu);
      if (last > cpu) list += "-" + std::to_string(last);
      cpu = last;
    }
  }
#endif
  return CountUsableCpus(count, list, "/proc/self");
}

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
