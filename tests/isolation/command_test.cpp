// `vardenix check` with components out of process: the shipped program examples end to end, the
// limits on the command line, and a component that would have ended the command itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "hosting/component_isolation.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "support/command.h"
#include "rig.h"

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

// A module's exception fails its record with a reason that names the ProgID, what the component was
// doing and the exception's type, the same in process and out of it.
TEST(CheckCommand, AModulesExceptionNamesItsTypeAndTheProgId) {
  struct Row {
    const char* prog_id;
    const char* reason;
  } rows[] = {
      {"Hostile.Throw", "the scoring component Hostile.Throw failed while answering \"ping\": std::invalid_argument: stoi"},
      {"Hostile.PutThrow",
       "the scoring component Hostile.PutThrow failed while taking \"AnsCont\": std::domain_error: AnsCont takes a number"},
  };
  for (const Row& row : rows) {
    for (const bool in_process : {false, true}) {
      const std::string name = std::string(row.prog_id) + (in_process ? " in process" : " out of process");
      TempDir dir;
      const std::string archive = TypicalArchive(dir);
      std::vector<std::string> args = {"check", "--ping-name", row.prog_id, "--component", HOSTILE_MODULE,
                                       "--archive", archive, "--rule-text", "perfect"};
      if (in_process) args.push_back("--in-process");
      const Outcome o = Vardenix(dir, args);
      EXPECT_EQ(o.status, 1) << name << ": " << o.Describe();
      // The summary's line for the record ends with the reason.
      const std::string line = std::string("typical document: run-time failure: ") + row.reason;
      EXPECT_TRUE(o.out.find(line + "\n") != std::string::npos || o.out.find(line + "\r\n") != std::string::npos)
          << name << ": " << o.out;
    }
  }
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
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an AddressSanitizer build of the command reserves terabytes of address space and cannot "
                  "start under an address-space limit; the plain build runs this test";
#endif
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
  // --keep: what the component wrote stays to be looked at.
  const Outcome o = Vardenix(dir, {"check", "--ping-name", "Test.Probe", "--archive", archive, "--rule-text", "x",
                                   "--ping-path", work, "--sandbox", "--keep"});
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

// Through the command, out of process and in it: a process a component left is stopped, named in
// --verbose and in the record's JSON, and --verbose says what contains the component's processes.
TEST(CheckCommand, AProcessAComponentLeftIsStoppedAndNamed) {
  struct Row {
    const char* name;
    std::vector<std::string> flags;
    const char* containment;
  } rows[] = {
      {"out of process", {}, "scoring components' processes are contained by a PID namespace of its own"},
      {"in process", {"--in-process"}, "scoring components' processes are contained by this process"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const std::string archive = TypicalArchive(dir);
    std::vector<std::string> args = {"check", "--ping-name", "Hostile.DoubleFork", "--component", HOSTILE_MODULE,
                                     "--archive", archive, "--rule-text", "perfect", "--verbose", "--json"};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    const Outcome o = Vardenix(dir, args);
    EXPECT_EQ(o.status, 0) << row.name << ": " << o.Describe();
    EXPECT_NE(o.err.find(row.containment), std::string::npos) << row.name << ": " << o.err;
    // The process is named as it was when it was found: before or after it became a shell.
    const std::string warning = "the scoring component Hostile.DoubleFork left a process running (`";
    EXPECT_NE(o.err.find("warning: " + warning), std::string::npos) << row.name << ": " << o.err;
    EXPECT_NE(o.out.find("\"warnings\":[\"" + warning), std::string::npos) << row.name << ": " << o.out;
    EXPECT_TRUE(isolation_test::ProcessesWith("vx-left-DoubleFork").empty()) << row.name;
  }
}

// A program component that tries every way out of the sandbox it knows and answers full marks only
// when none worked; ShowErr names those that did. Arguments: a file outside to write, an outside
// unix socket, an abstract one, a loopback TCP port, the pid of an outside process and the address
// of 16 bytes in it to overwrite.
constexpr const char* kEscapeProbe = R"(import ctypes, os, socket, sys, json
outside, unix_path, abstract, port, pid, address = sys.argv[1:7]
port, pid, address = int(port), int(pid), int(address, 16)
sys.stdin.read()
libc = ctypes.CDLL(None, use_errno=True)
escaped = []
def attempt(name, action):
    try:
        if action() is not False:
            escaped.append(name)
    except Exception:
        pass
def write(path):
    with open(path, 'w') as f:
        f.write('escaped')
attempt('write outside', lambda: write(outside))
attempt('remount /', lambda: libc.mount(None, b'/', None, 32, None) == 0 or libc.mount(None, b'/', None, 32 | 4096, None) == 0)
attempt('write outside after a remount', lambda: write(outside))
def through_proc():
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                write('/proc/' + entry + '/root' + outside)
                return True
            except OSError:
                pass
    return False
attempt('/proc/<pid>/root', through_proc)
class iovec(ctypes.Structure):
    _fields_ = [('base', ctypes.c_void_p), ('len', ctypes.c_size_t)]
data = ctypes.create_string_buffer(b'sandbox escaped', 16)
local, remote = iovec(ctypes.addressof(data), 16), iovec(address, 16)
attempt('process_vm_writev', lambda: libc.process_vm_writev(pid, ctypes.byref(local), 1, ctypes.byref(remote), 1, 0) == 16)
def connect(family, where):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(3)
    s.connect(where)
attempt('an outside unix socket', lambda: connect(socket.AF_UNIX, unix_path))
attempt('an abstract unix socket', lambda: connect(socket.AF_UNIX, '\0' + abstract))
attempt('TCP to loopback', lambda: connect(socket.AF_INET, ('127.0.0.1', port)))
def signal_outside():
    os.kill(pid, 0)
    return True
attempt('a signal to an outside process', signal_outside)
def signal_init():
    os.kill(1, 0)
    # Process 1 of the sandbox's own PID namespace is bubblewrap's init: not the machine's.
    with open('/proc/1/cmdline', 'rb') as f:
        return not f.read().startswith(b'bwrap')
attempt('kill(1, 0) of the machine', signal_init)
print(json.dumps({'ping': 0 if escaped else 100, 'ShowErr': ', '.join(escaped), 'ErrMsgXml': ''}))
)";

// Bytes of this process the probe tries to overwrite from inside the sandbox.
char escape_canary[16] = "untouched";

// Listening sockets outside the sandbox: a unix socket file anyone may connect to, an abstract
// one, and TCP on loopback; Accepted() tells whether anyone connected.
struct Listeners {
  explicit Listeners(const std::string& unix_path) {
    sockaddr_un file{};
    file.sun_family = AF_UNIX;
    std::snprintf(file.sun_path, sizeof file.sun_path, "%s", unix_path.c_str());
    fds[0] = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::unlink(unix_path.c_str());
    EXPECT_EQ(::bind(fds[0], reinterpret_cast<sockaddr*>(&file), sizeof file), 0) << std::strerror(errno);
    ::chmod(unix_path.c_str(), 0777);
    abstract = "vardenix-escape-probe-" + std::to_string(::getpid());
    sockaddr_un hidden{};
    hidden.sun_family = AF_UNIX;
    std::memcpy(hidden.sun_path + 1, abstract.data(), abstract.size());
    fds[1] = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fds[1], reinterpret_cast<sockaddr*>(&hidden),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstract.size())), 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fds[2] = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fds[2], reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    socklen_t size = sizeof loopback;
    ::getsockname(fds[2], reinterpret_cast<sockaddr*>(&loopback), &size);
    port = ntohs(loopback.sin_port);
    for (int fd : fds) ::listen(fd, 4);
  }
  ~Listeners() {
    for (int fd : fds) ::close(fd);
  }
  bool Accepted() const {
    for (int fd : fds) {
      const int peer = ::accept(fd, nullptr, nullptr);
      if (peer >= 0) {
        ::close(peer);
        return true;
      }
    }
    return false;
  }
  int fds[3] = {-1, -1, -1};
  std::string abstract;
  int port = 0;
};

// The sandbox as root and as nobody: every way out the probe tries is refused.
TEST(CheckCommand, TheSandboxRefusesEveryWayOut) {
  std::string why;
  if (!SandboxAvailable(std::string(), why)) GTEST_SKIP() << "bwrap cannot run here: " << why;
  // The system's Python, which every user may run (not one installed under a home folder).
  const std::string python = "/usr/bin/python3";
  if (::access(python.c_str(), X_OK) != 0) GTEST_SKIP() << python << " is missing";
  const passwd* nobody = ::getpwnam("nobody");
  struct Row {
    const char* name;
    bool as_nobody;
  } rows[] = {{"as the user running the tests", false}, {"as nobody", true}};
  for (const Row& row : rows) {
    if (row.as_nobody && (::geteuid() != 0 || nobody == nullptr || !support::ProgramExists("setpriv"))) {
      std::cerr << "not run " << row.name << ": needs root, a user nobody and setpriv\n";
      continue;
    }
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string archive = TypicalArchive(dir);
    ASSERT_EQ(::chmod(archive.c_str(), 0644), 0);
    const std::string work = dir / "work";
    fakes::MakeDirs(work);
    // Outside /tmp, and open to anyone: only the sandbox stands in the way.
    const std::string outside_dir = ISOLATION_BINARY_DIR "/sandbox-outside";
    std::filesystem::remove_all(outside_dir);
    fakes::MakeDirs(outside_dir);
    ASSERT_EQ(::chmod(outside_dir.c_str(), 0777), 0);
    const std::string outside = outside_dir + "/escaped.txt";
    Listeners listeners(outside_dir + "/socket");
    const std::string probe = work + "/probe.py";
    fakes::WriteFileText(probe, kEscapeProbe);
    std::snprintf(escape_canary, sizeof escape_canary, "untouched");
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(escape_canary));
    std::vector<std::string> prefix;
    if (row.as_nobody) {
      ASSERT_EQ(::chown(work.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
      fakes::MakeDirs(dir / "xdg");
      ASSERT_EQ(::chown((dir / "xdg").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
      prefix = {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
                "--clear-groups"};
    }
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.begin(), VARDENIX_BIN);
      args.insert(args.begin(), prefix.begin(), prefix.end());
      const std::string program = args.front();
      args.erase(args.begin());
      return support::RunCommand(program, args, dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()});
    };
    const Outcome registered = run({"register", "--program", "Test.Escape", "--", python, probe, outside,
                                    outside_dir + "/socket", listeners.abstract, std::to_string(listeners.port),
                                    std::to_string(::getpid()), address});
    ASSERT_EQ(registered.status, 0) << row.name << ": " << registered.Describe();

    const Outcome o = run({"check", "--ping-name", "Test.Escape", "--archive", archive, "--rule-text", "x",
                           "--ping-path", work, "--sandbox"});
    EXPECT_EQ(o.status, 0) << row.name << ": " << o.Describe();
    EXPECT_FALSE(fakes::PathExists(outside)) << row.name;
    EXPECT_STREQ(escape_canary, "untouched") << row.name;
    EXPECT_FALSE(listeners.Accepted()) << row.name;
  }
}

// A sandbox that cannot be made stops the command (exit 2, saying why) before any component runs
// unsandboxed: here bubblewrap is not on PATH, and a bwrap that refuses stands in for one that cannot
// make the namespaces asked for.
TEST(CheckCommand, ASandboxThatCannotBeMadeStopsTheCommand) {
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  const std::string fake_bin = dir / "bin";
  fakes::MakeDirs(fake_bin);
  const std::string refusing = fake_bin + "/bwrap";
  fakes::WriteFileText(refusing, "#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n");
  ASSERT_EQ(::chmod(refusing.c_str(), 0755), 0);
  struct Row {
    const char* name;
    std::string path;
    const char* said;
  } rows[] = {
      {"no bwrap", "/nonexistent", "it is not found in PATH"},
      {"bwrap refuses", fake_bin + ":/usr/bin:/bin", "No permissions to create new namespace"},
  };
  for (const Row& row : rows) {
    const Outcome o = support::RunCommand(
        VARDENIX_BIN,
        {"check", "--ping-name", "Hostile.Good", "--component", HOSTILE_MODULE, "--archive", archive,
         "--rule-text", "perfect", "--sandbox"},
        dir.path(), {"XDG_DATA_HOME=" + dir / "xdg", "PATH=" + row.path});
    EXPECT_EQ(o.status, 2) << row.name << ": " << o.Describe();
    EXPECT_NE(o.err.find("--sandbox cannot be used here"), std::string::npos) << row.name << ": " << o.err;
    EXPECT_NE(o.err.find(row.said), std::string::npos) << row.name << ": " << o.err;
    EXPECT_EQ(o.out.find("verdict"), std::string::npos) << row.name << ": a check ran: " << o.out;
  }
}

// An installation under /tmp, which the sandbox's private /tmp would hide: the component host and
// the module are bound in by their paths.
TEST(CheckCommand, TheSandboxWorksForAnInstallationUnderTmp) {
  std::string why;
  if (!SandboxAvailable(std::string(), why)) GTEST_SKIP() << "bwrap cannot run here: " << why;
  namespace fs = std::filesystem;
  char made[] = "/tmp/vardenix-install-XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::string install = made;
  struct Removed {
    std::string path;
    ~Removed() { fs::remove_all(path); }
  } removed{install};
  const fs::path bin = fs::path(VARDENIX_BIN).parent_path();
  for (const char* file : {"vardenix", "vardenix-component-host"}) fs::copy_file(bin / file, install + "/" + file);
  fs::copy_file(HOSTILE_MODULE, install + "/hostile.so");
  TempDir dir;
  const std::string archive = TypicalArchive(dir);
  const std::string work = dir / "work";
  fakes::MakeDirs(work);
  const Outcome o = support::RunCommand(install + "/vardenix",
                                        {"check", "--ping-name", "Hostile.Good", "--component", install + "/hostile.so",
                                         "--archive", archive, "--rule-text", "perfect", "--ping-path", work, "--sandbox"},
                                        dir.path(), {"XDG_DATA_HOME=" + dir / "xdg"});
  EXPECT_EQ(o.status, 0) << o.Describe();
}

}  // namespace
}  // namespace vardenix
