// `vardenix check` with components out of process: the shipped program examples end to end, the
// limits on the command line, and a component that would have ended the command itself.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hosting/component_isolation.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "support/command.h"

namespace vardenix {
namespace {

using fakes::TempDir;

using Outcome = support::CommandOutcome;

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = fakes::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs vardenix with `args`; XDG_DATA_HOME points into `dir`, so the registry is a fresh one.
Outcome Vardenix(const TempDir& dir, const std::vector<std::string>& args) {
  return support::RunCommand(VARDENIX_BIN, args, dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
}

std::string TypicalArchive(const TempDir& dir) {
  const std::string path = dir / "typical.zip";
  fakes::WriteFileBytes(path, fakes::BuildZip({{"考生/", "", fakes::ZipEntryType::kFolder, true},
                                               {"考生/报告.txt", "报告", fakes::ZipEntryType::kFile, true},
                                               {"考生/成绩.csv", "姓名,分数\n合计,175\n", fakes::ZipEntryType::kFile, true}}));
  return path;
}

constexpr const char* kRules = "2 exists 考生/报告.txt\n1 absent 考生/临时.tmp\n3 contains 考生/成绩.csv 合计,175\n";

TEST(ProgramExamples, GradeThroughVardenixCheck) {
  struct Row {
    const char* name;
    std::vector<std::string> command;
  } rows[] = {
      {"Python", {"python3", EXAMPLE_COMPONENTS "/filecheck.py"}},
      {"POSIX shell", {"/bin/sh", EXAMPLE_COMPONENTS "/filecheck.sh"}},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const std::string archive = TypicalArchive(dir);
    std::vector<std::string> reg = {"register", "--program", "Acme.Example", "--"};
    reg.insert(reg.end(), row.command.begin(), row.command.end());
    const Outcome registered = Vardenix(dir, reg);
    ASSERT_EQ(registered.status, 0) << row.name << ": " << registered.err;

    const std::string work = dir / "work";
    fakes::MakeDirs(work);
    const Outcome passed = Vardenix(dir, {"check", "--ping-name", "Acme.Example", "--archive", archive, "--rule-text",
                                          kRules, "--ping-path", work});
    EXPECT_EQ(passed.status, 0) << row.name << ": " << passed.out << passed.err << ::testing::PrintToString(fakes::ListTree(work));

    const std::string xml = dir / "report.xml";
    const Outcome failed = Vardenix(dir, {"check", "--ping-name", "Acme.Example", "--archive", archive, "--rule-text",
                                          std::string(kRules) + "1 folder 考生/图片\n", "--xml", xml});
    EXPECT_EQ(failed.status, 1) << row.name << ": " << failed.out << failed.err;
    EXPECT_NE(failed.out.find("第4行（1分）：缺少文件夹 考生/图片"), std::string::npos) << row.name << ": " << failed.out;
    EXPECT_NE(ReadText(xml).find("<RuleErrInfo>缺少文件夹 考生/图片</RuleErrInfo>"), std::string::npos) << row.name;

    const Outcome refused = Vardenix(dir, {"check", "--ping-name", "Acme.Example", "--archive", archive, "--rule-text",
                                           "1 exist 考生/报告.txt"});
    EXPECT_EQ(refused.status, 1) << row.name;
    EXPECT_NE(refused.out.find("rule line 1: unknown rule kind \"exist\""), std::string::npos) << row.name << ": " << refused.out;
  }
}

TEST(CheckCommand, AComponentThatEndsItsProcessFailsTheCheckInsteadOfPassingIt) {
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  const Outcome o = Vardenix(dir, {"check", "--ping-name", "Hostile.Exit", "--component", HOSTILE_MODULE, "--archive",
                                   archive, "--rule-text", "perfect"});
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_NE(o.out.find("the scoring component Hostile.Exit ended its process while answering \"ping\""),
            std::string::npos) << o.out;
}

// A program runs in the working folder and gets it as TestPath: a program that joins TestPath with a
// file name finds the answer however --ping-path was written, relative ones included.
TEST(CheckCommand, ARelativeWorkingFolderReachesAProgramAsAnAbsoluteOne) {
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  fakes::WriteFileText(dir / "joins.py",
                       "import json, os, sys\n"
                       "r = json.load(sys.stdin)\n"
                       "ok = os.path.isabs(r['TestPath']) and os.path.isfile(os.path.join(r['TestPath'], '考生/报告.txt'))\n"
                       "json.dump({'ping': 100 if ok else 0, 'ShowErr': '' if ok else 'not found under ' + "
                       "r['TestPath'], 'ErrMsgXml': ''}, sys.stdout)\n");
  ASSERT_EQ(Vardenix(dir, {"register", "--program", "Acme.Joins", "--", "python3", dir / "joins.py"}).status, 0);
  fakes::MakeDirs(dir / "work");
  for (const std::string& ping_path : {dir / "work", std::string("work"), std::string("work/"), std::string("./work")}) {
    // Run from `dir`, where the relative paths start.
    const Outcome o = support::RunCommand(
        "/bin/sh",
        {"-c", "cd \"$0\" && exec \"$@\"", dir.path(), VARDENIX_BIN, "check", "--ping-name", "Acme.Joins", "--archive",
         archive, "--rule-text", kRules, "--ping-path", ping_path, "--json"},
        dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
    EXPECT_EQ(o.status, 0) << ping_path << ": " << o.out << o.err;
    EXPECT_NE(o.out.find("\"pingPath\":\"" + dir / "work"), std::string::npos) << ping_path << ": " << o.out;
  }
}

// Under an address-space limit below 2 GiB (as CI containers set one) a component out of process
// still runs: its default memory limit is what the checking process may itself use, and --verbose
// says which limit it got.
TEST(CheckCommand, AnAddressSpaceLimitBelowTheDefaultLowersTheComponentsLimit) {
  if (!support::ProgramExists("prlimit")) GTEST_SKIP() << "prlimit (util-linux) is not installed";
  struct Row {
    const char* name;
    std::vector<std::string> before;  // prlimit and its options, or nothing
    std::vector<std::string> flags;
    const char* says;  // on stderr, with --verbose
  };
  const Row rows[] = {
      {"no limit", {}, {}, "component memory limit: 2 GiB (the default"},
      {"1.5 GB of address space", {"prlimit", "--as=1500000000", "--"}, {}, "address-space limit of this process"},
      {"1.5 GB of address space, --memory-limit 1G", {"prlimit", "--as=1500000000", "--"}, {"--memory-limit", "1G"},
       "component memory limit: 1 GiB (given with --memory-limit)"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    std::vector<std::string> command = row.before;
    for (const std::string& part : {std::string(VARDENIX_BIN), std::string("check"), std::string("--ping-name"),
                                    std::string("Hostile.Good"), std::string("--component"), std::string(HOSTILE_MODULE),
                                    std::string("--archive"), TypicalArchive(dir), std::string("--rule-text"),
                                    std::string("perfect"), std::string("--verbose")}) {
      command.push_back(part);
    }
    command.insert(command.end(), row.flags.begin(), row.flags.end());
    const std::string program = command.front();
    command.erase(command.begin());
    const Outcome o = support::RunCommand(program, command, dir.path(),
                                          {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
    EXPECT_EQ(o.status, 0) << row.name << ": " << o.out << o.err;
    EXPECT_NE(o.err.find(row.says), std::string::npos) << row.name << ": " << o.err;
  }
}

TEST(CheckCommand, LimitsComeFromTheCommandLine) {
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  const Outcome slow = Vardenix(dir, {"check", "--ping-name", "Hostile.Loop", "--component", HOSTILE_MODULE,
                                      "--archive", archive, "--rule-text", "perfect", "--time-limit", "0.5"});
  EXPECT_EQ(slow.status, 1) << slow.err;
  EXPECT_NE(slow.out.find("the scoring component Hostile.Loop did not answer within 0.5 s and was stopped"),
            std::string::npos) << slow.out;

  const Outcome big = Vardenix(dir, {"check", "--ping-name", "Hostile.Huge", "--component", HOSTILE_MODULE,
                                     "--archive", archive, "--rule-text", "perfect", "--answer-limit", "1M"});
  EXPECT_EQ(big.status, 1) << big.err;
  EXPECT_NE(big.out.find("answered with more than 1 MiB while answering \"ShowErr\""), std::string::npos) << big.out;

  const Outcome trusted = Vardenix(dir, {"check", "--ping-name", "Hostile.Good", "--component", HOSTILE_MODULE,
                                         "--archive", archive, "--rule-text", "perfect", "--in-process"});
  EXPECT_EQ(trusted.status, 0) << trusted.out << trusted.err;

  struct Row {
    const char* name;
    std::vector<std::string> flags;
    const char* message;
  } rows[] = {
      {"time not a number", {"--time-limit", "soon"}, "--time-limit must be a positive number of seconds"},
      {"time zero", {"--time-limit", "0"}, "--time-limit must be a positive number of seconds"},
      {"size without meaning", {"--memory-limit", "2Q"}, "--memory-limit must be a size such as 2G"},
      {"memory too small", {"--memory-limit", "1M"}, "the memory limit of a scoring component must be at least 16 MiB"},
      {"in-process with a limit", {"--in-process", "--time-limit", "5"}, "excludes"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"check", "--ping-name", "Hostile.Good", "--component", HOSTILE_MODULE,
                                     "--archive", archive, "--rule-text", "perfect"};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    const Outcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, 2) << row.name << ": " << o.out;
    EXPECT_NE(o.err.find(row.message), std::string::npos) << row.name << ": " << o.err;
  }
}

TEST(CheckCommand, SandboxKeepsTheComponentToTheWorkingFolder) {
  std::string why;
  if (!SandboxAvailable(std::string(), why)) GTEST_SKIP() << "no sandbox on this machine: " << why;
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  // Outside /tmp, which the sandbox replaces, so that only its read-only view keeps it unwritten.
  const std::string outside = ISOLATION_BINARY_DIR "/sandbox-outside.txt";
  std::remove(outside.c_str());
  std::remove("/tmp/vardenix-sandbox-probe");
  const std::string work = dir / "work";
  fakes::MakeDirs(work);
  // Tries to write outside the working folder, to reach the network, and to leave a file in /tmp;
  // reports what it managed in ShowErr, and passes only when writing in its own folder works. It
  // lives in the working folder: the sandbox's /tmp is its own.
  const std::string script = work + "/probe.sh";
  fakes::WriteFileText(script,
      "cat >/dev/null\n"
      "r=\n"
      "if (echo x > '" + outside + "') 2>/dev/null; then r=\"$r wrote-outside\"; fi\n"
      "echo x > /tmp/vardenix-sandbox-probe 2>/dev/null\n"
      "if [ \"$(grep -c : /proc/net/dev)\" -gt 1 ]; then r=\"$r network\"; fi\n"
      "echo ok > inside.txt || r=\"$r cannot-write-inside\"\n"
      "if [ -z \"$r\" ]; then p=100; else p=0; fi\n"
      "printf '{\"ping\": %s, \"ShowErr\": \"%s\", \"ErrMsgXml\": \"\"}' \"$p\" \"$r\"\n");
  ASSERT_EQ(Vardenix(dir, {"register", "--program", "Test.Probe", "--", "/bin/sh", script}).status, 0);
  const Outcome o = Vardenix(dir, {"check", "--ping-name", "Test.Probe", "--archive", archive, "--rule-text", "x",
                                   "--ping-path", work, "--sandbox"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_FALSE(fakes::PathExists(outside));
  EXPECT_TRUE(fakes::PathExists(work + "/inside.txt"));
  EXPECT_FALSE(fakes::PathExists("/tmp/vardenix-sandbox-probe")) << "the sandbox's /tmp is not private";

  // A module's component runs under the sandbox as well.
  const Outcome module = Vardenix(dir, {"check", "--ping-name", "Hostile.Good", "--component", HOSTILE_MODULE,
                                        "--archive", archive, "--rule-text", "perfect", "--ping-path", work, "--sandbox"});
  EXPECT_EQ(module.status, 0) << module.out << module.err;
}

// What the sandbox is for: a component run by an exam centre's ordinary account. The test above is
// that case when the tests run unprivileged; run as root, this one drops to `nobody` for the check.
TEST(CheckCommand, SandboxWorksForAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "the tests run unprivileged already: the test above is this case";
  if (!support::ProgramExists("setpriv")) GTEST_SKIP() << "setpriv (util-linux) is missing";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "there is no user nobody here";
  TempDir dir;
  const std::vector<std::string> as_nobody = {"--reuid=" + std::to_string(nobody->pw_uid),
                                              "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), as_nobody.begin(), as_nobody.end());
    return support::RunCommand("setpriv", args, dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
  };
  const Outcome probe = run({"bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--unshare-net", "--", "/bin/true"});
  if (probe.status != 0) {
    GTEST_SKIP() << "bubblewrap cannot make a sandbox for an unprivileged user on this machine "
                    "(are unprivileged user namespaces allowed?): " << probe.err;
  }
  const std::string archive = TypicalArchive(dir);
  const std::string work = dir / "work";
  fakes::MakeDirs(work);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(archive.c_str(), 0644), 0);
  ASSERT_EQ(::chown(work.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const Outcome o = run({VARDENIX_BIN, "check", "--ping-name", "Hostile.Good", "--component", HOSTILE_MODULE,
                         "--archive", archive, "--rule-text", "perfect", "--ping-path", work, "--sandbox"});
  EXPECT_EQ(o.status, 0) << o.Describe();
}

}  // namespace
}  // namespace vardenix
