// The CPUs a process may use: its affinity, bounded by the CPU quota of its cgroup (v2 or v1) and the
// cgroups above it, read through a /proc/self of the test's own making.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hosting/cpu_placement.h"
#include "tests/support/fakes/temp_dir.h"

namespace vardenix {
namespace {

using fakes::MakeDirs;
using fakes::TempDir;
using fakes::WriteFileText;

struct Row {
  const char* name;
  std::string mountinfo;                                   // with MP for the cgroup mount point
  std::string cgroup;                                      // /proc/self/cgroup
  std::vector<std::pair<std::string, std::string>> files;  // under MP
  unsigned affinity;
  unsigned count;
  std::string reason;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(UsableCpus, AffinityBoundedByTheSmallestCgroupQuota) {
  const std::string v2 = "30 24 0:26 / MP rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
  const std::string v1 = "36 25 0:31 / MP rw,nosuid shared:15 - cgroup cgroup rw,cpu,cpuacct\n"
                         "37 25 0:32 / /elsewhere rw shared:16 - cgroup cgroup rw,memory\n";
  const std::string affinity = "the CPUs this process may use (affinity 0-3)";
  const Row rows[] = {
      {"no cgroup mounted", "", "0::/job\n", {}, 4, 4, affinity},
      {"v2 without a quota", v2, "0::/job\n", {{"job/cpu.max", "max 100000\n"}}, 4, 4, affinity},
      {"v2 quota of 1.5", v2, "0::/job\n", {{"job/cpu.max", "150000 100000\n"}}, 4, 2,
       "the cgroup's CPU quota of 1.5"},
      {"v2 quota of 1 on a parent", v2, "0::/slurm/job\n",
       {{"slurm/cpu.max", "100000 100000\n"}, {"slurm/job/cpu.max", "max 100000\n"}}, 4, 1,
       "the cgroup's CPU quota of 1.0"},
      {"v2 quota above the affinity", v2, "0::/job\n", {{"job/cpu.max", "800000 100000\n"}}, 4, 4, affinity},
      {"v2 seen from a container", Replace(v2, " / MP", " /kubepods/pod1 MP"), "0::/kubepods/pod1/c1\n",
       {{"c1/cpu.max", "50000 100000\n"}}, 4, 1, "the cgroup's CPU quota of 0.5"},
      {"v1 cpu controller", v1, "5:memory:/job\n4:cpu,cpuacct:/job\n0::/\n",
       {{"job/cpu.cfs_quota_us", "250000\n"}, {"job/cpu.cfs_period_us", "100000\n"}}, 4, 3,
       "the cgroup's CPU quota of 2.5"},
      {"v1 without a quota", v1, "4:cpu,cpuacct:/job\n",
       {{"job/cpu.cfs_quota_us", "-1\n"}, {"job/cpu.cfs_period_us", "100000\n"}}, 4, 4, affinity},
      {"damaged cpu.max", v2, "0::/job\n", {{"job/cpu.max", "lots 0\n"}}, 4, 4, affinity},
  };
  for (const Row& row : rows) {
    TempDir dir;
    MakeDirs(dir / "proc");
    WriteFileText(dir / "proc/mountinfo", Replace(row.mountinfo, "MP", dir / "cg"));
    WriteFileText(dir / "proc/cgroup", row.cgroup);
    for (const auto& [name, text] : row.files) {
      MakeDirs((dir / "cg/" + name).substr(0, (dir / "cg/" + name).rfind('/')));
      WriteFileText(dir / "cg/" + name, text);
    }
    const UsableCpus cpus = CountUsableCpus(row.affinity, "0-3", dir / "proc");
    EXPECT_EQ(cpus.count, row.count) << row.name;
    EXPECT_EQ(cpus.reason, row.reason) << row.name;
  }

  TempDir empty;
  const UsableCpus unknown = CountUsableCpus(0, "", empty / "none");
  EXPECT_EQ(unknown.count, std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(unknown.reason, "the online CPUs");
}

}  // namespace
}  // namespace vardenix
