// Each record is graded on its own answer alone: whatever a scoring component does to the working
// folder (touch, append to, cut, rename over, replace or create the file the next record is graded
// on) is gone before the next extraction, with one worker or two, in bank order or drawn at random;
// and `vardenix check` leaves the folder as it found it, so a second check sees what the first saw.
// A mount point in the working folder is never entered: the check fails naming it.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "rig.h"
#include "support/banks.h"
#include "support/command.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"

namespace vardenix::isolation_test {
namespace {

using fakes::TempDir;
using fakes::ZipEntryType;
using Outcome = support::CommandOutcome;

constexpr int kRecords = 6;

// Record W-n: odd ones hold answer/checked (a file, or a folder with a file in it), even ones lack it.
std::vector<uint8_t> RecordArchive(int n, bool checked_is_folder) {
  std::vector<fakes::ZipEntry> entries = {{"answer/", "", ZipEntryType::kFolder},
                                          {"answer/report.txt", "report " + std::to_string(n)}};
  if (n % 2 == 1) {
    if (checked_is_folder) {
      entries.push_back({"answer/checked/", "", ZipEntryType::kFolder});
      entries.push_back({"answer/checked/inside.txt", "inside"});
    } else {
      entries.push_back({"answer/checked", "checked " + std::to_string(n)});
    }
  }
  return fakes::BuildZip(entries);
}

struct Banks {
  std::string total;
  std::string subject;
};

Banks WriteBanks(const TempDir& dir, bool checked_is_folder) {
  std::vector<support::Question> questions;
  for (int n = 1; n <= kRecords; ++n) {
    questions.push_back({"Word", "W-" + std::to_string(n), "answer", RecordArchive(n, checked_is_folder)});
  }
  return Banks{support::WriteTotalBank(dir / "total.db", support::OperationModules("S01", {"Word"})),
               support::WriteSubjectBank(dir / "subject.db", questions)};
}

// The outcome of every draw, in draw order: "W-3 passed" and so on.
std::vector<std::string> Draws(const std::string& json) {
  static const std::regex draw("\"recNo\":\"(W-[0-9]+)\",\"draw\":[0-9]+,\"outcome\":\"([a-zA-Z]+)\"");
  std::vector<std::string> draws;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), draw); it != std::sregex_iterator(); ++it) {
    draws.push_back((*it)[1].str() + " " + (*it)[2].str());
  }
  return draws;
}

// A record graded alone passes exactly when its answer holds answer/checked: when it is odd.
std::string Alone(const std::string& draw) {
  const int n = std::stoi(draw.substr(2, draw.find(' ') - 2));
  return draw.substr(0, draw.find(' ')) + (n % 2 == 1 ? " passed" : " failed");
}

struct Component {
  const char* name;
  const char* prog_id;
  const char* script;  // a program component (run by /bin/sh -c in the working folder); null: the module's class
  bool checked_is_folder = false;
};

// The program components grade as the module's Hostile.Leave.* classes do, then do their harm.
#define VX_GRADE "cat >/dev/null; if [ -e answer/checked ] || [ -L answer/checked ]; then s=100; else s=0; fi; "
#define VX_ANSWER "; echo \"{\\\"ping\\\": $s, \\\"ShowErr\\\": \\\"\\\", \\\"ErrMsgXml\\\": \\\"\\\"}\""

const Component kComponents[] = {
    {"module touches", "Hostile.Leave.Touch", nullptr},
    {"module appends", "Hostile.Leave.Append", nullptr},
    {"module cuts", "Hostile.Leave.Truncate", nullptr},
    {"module renames over", "Hostile.Leave.RenameOver", nullptr},
    {"module makes a link of a file", "Hostile.Leave.ToLink", nullptr},
    {"module makes a folder of a file", "Hostile.Leave.ToFolder", nullptr},
    {"module makes a file of a folder", "Hostile.Leave.FolderToFile", nullptr, true},
    {"module creates", "Hostile.Leave.Create", nullptr},
    {"program touches", "Leave.Program.Touch", VX_GRADE "[ $s = 100 ] && touch answer/checked" VX_ANSWER},
    {"program appends", "Leave.Program.Append", VX_GRADE "[ $s = 100 ] && echo more >>answer/checked" VX_ANSWER},
    {"program cuts", "Leave.Program.Truncate", VX_GRADE "[ $s = 100 ] && : >answer/checked" VX_ANSWER},
    {"program renames over", "Leave.Program.RenameOver", VX_GRADE "mv answer/report.txt answer/checked" VX_ANSWER},
    {"program makes a link of a file", "Leave.Program.ToLink",
     VX_GRADE "[ $s = 100 ] && rm answer/checked && ln -s report.txt answer/checked" VX_ANSWER},
    {"program makes a folder of a file", "Leave.Program.ToFolder",
     VX_GRADE "[ $s = 100 ] && rm answer/checked && mkdir answer/checked" VX_ANSWER},
    {"program makes a file of a folder", "Leave.Program.FolderToFile",
     VX_GRADE "[ -d answer/checked ] && rm -r answer/checked && echo x >answer/checked" VX_ANSWER, true},
    {"program creates", "Leave.Program.Create", VX_GRADE "[ $s = 0 ] && echo x >answer/checked" VX_ANSWER},
};

Outcome Vardenix(const TempDir& dir, std::vector<std::string> args) {
  return support::RunCommand(VARDENIX_BIN, args, dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
}

TEST(HermeticGrading, EveryRecordIsGradedAsIfAlone) {
  // Every question in bank order with one worker and with two, and draws at random by two seeds.
  const std::vector<std::vector<std::string>> ways = {
      {"--all", "--jobs", "1"}, {"--all", "--jobs", "2"}, {"--rate", "1", "--seed", "7"}, {"--rate", "1", "--seed", "8"}};
  for (const Component& c : kComponents) {
    TempDir dir;
    const Banks banks = WriteBanks(dir, c.checked_is_folder);
    if (c.script != nullptr) {
      const Outcome registered = Vardenix(dir, {"register", "--program", c.prog_id, "--", "/bin/sh", "-c", c.script});
      ASSERT_EQ(registered.status, 0) << c.name << ": " << registered.Describe();
    }
    for (const std::vector<std::string>& way : ways) {
      const std::string work = dir / "work";
      fakes::MakeDirs(work);
      fakes::WriteFileText(work + "/host.txt", "the host's");
      std::vector<std::string> args = {"check", "--ping-name", c.prog_id, "--ping-path", work, "--total", banks.total,
                                       "--subject", banks.subject, "--subject-code", "S01", "--json"};
      if (c.script == nullptr) args.insert(args.end(), {"--component", HOSTILE_MODULE});
      args.insert(args.end(), way.begin(), way.end());
      const std::string label = std::string(c.name) + ", " + way[0] + " " + way[2];

      std::vector<std::string> first;
      for (int round = 0; round < 2; ++round) {
        const Outcome run = Vardenix(dir, args);
        EXPECT_EQ(run.status, 1) << label << ": " << run.Describe();
        const std::vector<std::string> draws = Draws(run.out);
        EXPECT_GE(draws.size(), static_cast<size_t>(kRecords)) << label << ": " << run.Describe();
        for (const std::string& draw : draws) EXPECT_EQ(draw, Alone(draw)) << label << ", round " << round;
        // The folder is as the check found it: the host's file, nothing of the check.
        EXPECT_EQ(fakes::ListTree(work), std::vector<std::string>{"host.txt"}) << label << ", round " << round;
        if (round == 0) {
          first = draws;
        } else {
          EXPECT_EQ(draws, first) << label << ": a second check in the same folder";
        }
      }
    }
  }
}

// --keep leaves the last answer and what its component made; the next check removes neither the
// host's files nor anything it did not make, and grades as if alone all the same.
TEST(HermeticGrading, KeepLeavesTheLastAnswer) {
  TempDir dir;
  const Banks banks = WriteBanks(dir, false);
  const std::string work = dir / "work";
  fakes::MakeDirs(work);
  const std::vector<std::string> args = {"check", "--ping-name", "Hostile.Leave.Create", "--component", HOSTILE_MODULE,
                                         "--ping-path", work, "--total", banks.total, "--subject", banks.subject,
                                         "--subject-code", "S01", "--all", "--jobs", "1", "--json"};
  std::vector<std::string> kept = args;
  kept.push_back("--keep");
  const Outcome first = Vardenix(dir, kept);
  EXPECT_EQ(first.status, 1) << first.Describe();
  for (const std::string& draw : Draws(first.out)) EXPECT_EQ(draw, Alone(draw));
  // W-6 was the last: its answer, and the file the component made after grading it.
  EXPECT_TRUE(fakes::PathExists(work + "/answer/report.txt"));
  EXPECT_TRUE(fakes::PathExists(work + "/answer/checked"));
}

class MountPoint {
 public:
  // A tmpfs, or a bind mount of a folder of the same file system, at `at`; holds keep.txt.
  MountPoint(const std::string& at, const std::string& bind_source) : at_(at) {
    fakes::MakeDirs(at);
    if (bind_source.empty()) {
      mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") == 0;
    } else {
      fakes::MakeDirs(bind_source);
      mounted_ = ::mount(bind_source.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    if (mounted_) fakes::WriteFileText(at + "/keep.txt", "under the mount");
  }
  ~MountPoint() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::vector<std::string> Tree() const { return fakes::ListTree(at_); }

 private:
  std::string at_;
  bool mounted_ = false;
};

// A mount point in the working folder or in a worker's folder: the check fails naming it, and
// nothing under it is removed or written.
TEST(HermeticGrading, AMountPointInTheWorkingFolderFailsTheCheckAndStaysUntouched) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  struct Row {
    const char* name;
    const char* under;  // where the mount goes, inside the working folder
    bool bind;
    std::vector<std::string> mode;
  } rows[] = {
      {"tmpfs in the working folder", "mnt", false, {"--all", "--jobs", "1"}},
      {"bind mount in the working folder", "answer", true, {"--all", "--jobs", "1"}},
      {"tmpfs in a worker's folder", "vardenix-job-1/mnt", false, {"--all", "--jobs", "2"}},
      {"bind mount in a worker's folder", "vardenix-job-2/answer", true, {"--all", "--jobs", "2"}},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const Banks banks = WriteBanks(dir, false);
    const std::string work = dir / "work";
    fakes::MakeDirs(work);
    for (const char* worker : {"vardenix-job-1", "vardenix-job-2"}) {
      fakes::MakeDirs(work + "/" + worker);
      fakes::WriteFileText(work + "/" + worker + "/.vardenix-worker", "");
    }
    MountPoint mount(work + "/" + row.under, row.bind ? dir / "elsewhere" : "");
    ASSERT_TRUE(mount.mounted()) << row.name;
    std::vector<std::string> args = {"check", "--ping-name", "Hostile.Leave.Create", "--component", HOSTILE_MODULE,
                                     "--ping-path", work, "--total", banks.total, "--subject", banks.subject,
                                     "--subject-code", "S01"};
    args.insert(args.end(), row.mode.begin(), row.mode.end());
    const Outcome run = Vardenix(dir, args);
    EXPECT_EQ(run.status, 2) << row.name << ": " << run.Describe();
    EXPECT_NE(run.err.find("holds a mount point, " + std::string(row.under)), std::string::npos)
        << row.name << ": " << run.Describe();
    EXPECT_EQ(mount.Tree(), std::vector<std::string>{"keep.txt"}) << row.name;
  }
}

// The same through the library: a check object whose working folder gets a mount point between two
// runs fails the run naming it, and leaves what is under it alone.
TEST(HermeticGrading, AMountPointMadeBetweenRunsFailsTheNextRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  Rig rig;
  auto check = rig.Check();
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  MountPoint mount(rig.work / "answer/mnt", "");
  ASSERT_TRUE(mount.mounted());
  const Verdict v = RunCheck(*check, "Hostile.Good");
  EXPECT_FALSE(v.passed);
  EXPECT_NE(v.text.find("holds a mount point, answer/mnt"), std::string::npos) << v.text;
  EXPECT_EQ(mount.Tree(), std::vector<std::string>{"keep.txt"});
}

}  // namespace
}  // namespace vardenix::isolation_test
