// Components that misbehave in every way a process can, run out of process through the check
// object: the checking process survives, the record fails with a report that names the component
// and what happened, nothing of the component is left running, and the next check works.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hosting/component_process.h"
#include "hosting/component_records.h"
#include "hosting/component_registry.h"
#include "hosting/cpu_placement.h"
#include "rig.h"

namespace vardenix::isolation_test {
namespace {

struct HostileRow {
  const char* name;
  const char* prog_id;
  const char* reason;  // what the report says happened
  // A breach of the memory or answer limit needs memory to be filled, which takes seconds on a
  // loaded machine: those rows have time enough that the limit they test is the one met.
  double seconds = kSeconds;
};

// Module components, in the hostile module.
const HostileRow kModuleRows[] = {
    {"segfault", "Hostile.Segv", "crashed while answering \"ping\": its process was killed by signal SIGSEGV"},
    {"segfault in a put", "Hostile.PutSegv", "crashed while taking \"AnsCont\": its process was killed by signal SIGSEGV"},
    {"abort", "Hostile.Abort", "crashed while answering \"ping\": its process was killed by signal SIGABRT"},
    {"exit(0) in ping", "Hostile.Exit", "ended its process while answering \"ping\" (it exited with status 0)"},
    {"endless loop", "Hostile.Loop", "did not answer within 1 s and was stopped"},
    {"loop ignoring SIGTERM", "Hostile.Stubborn", "did not answer within 1 s and was stopped"},
    // The right answer, too late: a limit enforced at twice its value would take it. No timing is
    // asserted, so a loaded machine cannot fail the row; only the answer that comes at 1.5 s can pass.
    {"full marks after 1.5 s", "Hostile.Late", "did not answer within 1 s and was stopped"},
    {"unbounded allocation", "Hostile.Hog", "used more than 512 MiB of memory and was stopped", 60},
    {"unbounded allocation, writing all the while", "Hostile.ChattyHog", "used more than 512 MiB of memory and was stopped", 60},
    {"100 MB ShowErr", "Hostile.Huge", "answered with more than 8 MiB while answering \"ShowErr\" and was stopped", 60},
    {"junk on the protocol socket", "Hostile.Garbage", "broke the component host's protocol"},
};

// Program components: a command line, with a marker to find its processes by.
struct ProgramRow {
  const char* name;
  const char* prog_id;
  const char* script;  // run by /bin/sh -c
  const char* reason;
};

const ProgramRow kProgramRows[] = {
    {"no JSON", "Hostile.Program.Silent", "cat >/dev/null", "wrote no answer on stdout"},
    {"not JSON", "Hostile.Program.Prose", "echo 'all fine, 100 points'",
     "wrote something on stdout that is not one JSON object"},
    {"invalid JSON", "Hostile.Program.Broken", "printf '{\"ping\": 100, \"ShowErr\": '",
     "wrote something on stdout that is not one JSON object"},
    {"endless loop", "Hostile.Program.Loop", "while :; do :; done", "did not answer within 1 s and was stopped"},
    {"loop ignoring SIGTERM", "Hostile.Program.Stubborn", "trap '' TERM; while :; do :; done",
     "did not answer within 1 s and was stopped"},
    {"full marks after 1.5 s", "Hostile.Program.Late",
     "cat >/dev/null; sleep 1.5; echo '{\"ping\": 100, \"ShowErr\": \"\", \"ErrMsgXml\": \"\"}'",
     "did not answer within 1 s and was stopped"},
    {"crash", "Hostile.Program.Crash", "kill -SEGV $$", "crashed while answering \"ping\": its process was killed by signal SIGSEGV"},
    {"exit status", "Hostile.Program.Fails", "echo 'cannot read the rule' >&2; exit 3",
     "exited with status 3 without an answer; its last output on stderr: cannot read the rule"},
};

void ExpectReported(const Verdict& v, const std::string& prog_id, const std::string& reason, const char* name,
                    double seconds = kSeconds) {
  EXPECT_FALSE(v.passed) << name;
  EXPECT_NE(v.text.find("the scoring component " + prog_id + " "), std::string::npos) << name << ": " << v.text;
  EXPECT_NE(v.text.find(reason), std::string::npos) << name << ": " << v.text;
  EXPECT_NE(v.xml.find(prog_id), std::string::npos) << name << ": " << v.xml;
  EXPECT_LT(v.seconds, seconds + kAnswerMargin) << name;
}

TEST(HostileModules, EachFailsItsRecordAndLeavesNothingRunning) {
  for (const HostileRow& row : kModuleRows) {
    IsolationSettings settings = SmallLimits();
    settings.seconds = row.seconds;
    Rig rig(settings);
    auto check = rig.Check();
    ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed) << row.name;
    // The host process that served the good check is the one the hostile check will get.
    const std::vector<int> idle = rig.hosts->IdleHostIds();
    ASSERT_EQ(idle.size(), 1u) << row.name;
    const pid_t host = idle.front();

    const Verdict v = RunCheck(*check, row.prog_id);
    ExpectReported(v, row.prog_id, row.reason, row.name, row.seconds);

    EXPECT_FALSE(Running(host)) << row.name << ": the host process was not stopped";
    EXPECT_TRUE(Eventually([&] { return GroupMembers(host).empty(); })) << row.name << ": a process of its group is left";
    if (std::string(row.prog_id) == "Hostile.ChattyHog") {
      // Stopped near the limit: its last line on stderr counts the MiB it had taken.
      const auto at = v.text.rfind("took block ");
      ASSERT_NE(at, std::string::npos) << row.name << ": " << v.text.substr(0, 400);
      EXPECT_LT(std::atol(v.text.c_str() + at + 11), 2 * static_cast<long>(kMemory >> 20)) << row.name;
    }

    const Verdict next = RunCheck(*check, "Hostile.Good");
    EXPECT_TRUE(next.passed) << row.name << ": the next check of the same object: " << next.text;
  }
}

TEST(HostileModules, WhatAComponentPrintsDoesNotDisturbTheProtocol) {
  std::vector<std::string> traced;
  IsolationSettings settings = SmallLimits();
  settings.trace = [&traced](const std::string& prog_id, const std::string& text) { traced.push_back(prog_id + ": " + text); };
  Rig rig(settings);
  auto check = rig.Check();
  const Verdict v = RunCheck(*check, "Hostile.Chatty");
  EXPECT_TRUE(v.passed) << v.text;
  std::string all;
  for (const std::string& t : traced) all += t;
  EXPECT_NE(all.find("Hostile.Chatty: "), std::string::npos);
  EXPECT_NE(all.find("a word on stderr"), std::string::npos) << all.substr(0, 300);
}

TEST(HostileModules, OneHostProcessServesRunAfterRunAndANewOneFollowsACrash) {
  Rig rig;
  auto check = rig.Check();
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  const std::vector<int> first = rig.hosts->IdleHostIds();
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  EXPECT_EQ(rig.hosts->IdleHostIds(), first) << "the host process was not kept";

  EXPECT_FALSE(RunCheck(*check, "Hostile.Segv").passed);
  EXPECT_TRUE(rig.hosts->IdleHostIds().empty());
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  const std::vector<int> after = rig.hosts->IdleHostIds();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after, first);
}

// The CPUs a process may run on, as /proc tells them ("0-1", "3").
std::string CpusAllowed(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Cpus_allowed_list:", 0) == 0) return line.substr(line.find_first_not_of(" \t", 18));
  }
  return "?";
}

// A sweep's worker is placed on a CPU of its own, and the host process serving its run goes there
// with it; a run of a thread that was not placed takes the host back to every CPU the thread may use.
TEST(HostileModules, AHostProcessRunsWhereTheThreadServedRuns) {
  Rig rig;
  auto check = rig.Check();
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  const std::string everywhere = CpusAllowed("self");
  ASSERT_EQ(rig.hosts->IdleHostIds().size(), 1u);
  const std::string host = std::to_string(rig.hosts->IdleHostIds().front());
  EXPECT_EQ(CpusAllowed(host), everywhere);

  std::string placed_on;
  std::thread worker([&] {
    EXPECT_FALSE(PlaceWorkerThread(0, 100000)) << "placed with more workers than CPUs";
    EXPECT_EQ(PlacedCpu(), -1);
    ASSERT_TRUE(PlaceWorkerThread(0, 1));
    placed_on = std::to_string(PlacedCpu());
    EXPECT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  });
  worker.join();
  EXPECT_EQ(rig.hosts->IdleHostIds(), std::vector<int>{std::stoi(host)}) << "the host process was not kept";
  EXPECT_EQ(CpusAllowed("self"), everywhere) << "another thread's placement moved this one";
  EXPECT_EQ(CpusAllowed(host), placed_on);

  EXPECT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  EXPECT_EQ(CpusAllowed(host), everywhere);
}

// As many scoring runs at once as a check with that many workers makes: each gets a host process, and
// every one is kept for the next round, however many there are.
TEST(HostileModules, EveryHostProcessOfRunsAtOnceIsKept) {
  Rig rig;
  constexpr std::size_t kAtOnce = 6;
  auto round = [&] {
    std::vector<std::unique_ptr<NamedObject>> objects;
    for (std::size_t i = 0; i < kAtOnce; ++i) objects.push_back(rig.hosts->Create(HOSTILE_MODULE, "Hostile.Good"));
  };
  round();
  std::vector<int> first = rig.hosts->IdleHostIds();
  ASSERT_EQ(first.size(), kAtOnce);
  round();
  std::vector<int> second = rig.hosts->IdleHostIds();
  std::sort(first.begin(), first.end());
  std::sort(second.begin(), second.end());
  EXPECT_EQ(second, first) << "a host process was stopped and another started";
}

// The scoring run announces its three reads and the release after them, and the host is asked for
// them together; whatever the caller then reads, and whatever the component refuses, each read
// answers as it would alone. After an announced release, a read out of turn is refused.
TEST(HostileModules, AnnouncedReadsAnswerAsSingleReadsDo) {
  using After = NamedObject::AfterReads;
  struct Row {
    const char* name;
    std::vector<std::string> announced;
    After after;
    std::vector<std::string> read;
    std::vector<std::string> want;  // empty: what single reads answer
  } rows[] = {
      {"as announced", {"ping", "ShowErr", "ErrMsgXml"}, After::kMore, {"ping", "ShowErr", "ErrMsgXml"}, {}},
      {"another order", {"ping", "ShowErr", "ErrMsgXml"}, After::kMore, {"ShowErr", "ping", "ErrMsgXml"}, {}},
      {"fewer", {"ping", "ShowErr", "ErrMsgXml"}, After::kMore, {"ping"}, {}},
      {"a member refused in between", {"ping", "Nope", "ShowErr"}, After::kMore, {"ping", "Nope", "ShowErr"}, {}},
      {"the first refused", {"Nope", "ping"}, After::kMore, {"Nope", "ping", "Pid"}, {}},
      {"as announced, then released", {"ping", "ShowErr", "ErrMsgXml"}, After::kRelease,
       {"ping", "ShowErr", "ErrMsgXml"}, {}},
      {"the first refused, then released", {"Nope", "ping"}, After::kRelease, {"Nope", "ping"}, {}},
      {"another read after the release", {"ping"}, After::kRelease, {"ping", "ShowErr"},
       {"50", "failed: cannot read \"ShowErr\" from the scoring component Hostile.Good: it is released after "
              "the reads announced"}},
  };
  Rig rig;
  auto reads = [&rig](const std::vector<std::string>& announced, After after, const std::vector<std::string>& members) {
    auto object = rig.registry.Create("Hostile.Good");
    object->Put("TestPath", Variant::Text(rig.work.path()));
    object->Put("AnsCont", Variant::Text("not quite"));
    object->Put("GetTotalScore", Variant::I2(100));
    object->Put("ErrInfoType", Variant::I2(63));
    if (!announced.empty()) object->ExpectReads(announced, after);
    std::vector<std::string> out;
    for (const std::string& member : members) {
      try {
        const Variant value = object->Read(member);
        out.push_back(member == "Pid" ? "a pid" : ToText(value));
      } catch (const RuntimeError& e) {
        out.push_back("failed: " + e.Description());
      }
    }
    return out;
  };
  for (const Row& row : rows) {
    const std::vector<std::string> want = row.want.empty() ? reads({}, After::kMore, row.read) : row.want;
    EXPECT_EQ(reads(row.announced, row.after, row.read), want) << row.name;
    // The host serves the next object as before.
    EXPECT_EQ(reads({}, After::kMore, {"ShowErr"}), std::vector<std::string>{"not perfect\r\n"}) << row.name;
  }
}

// A component that fails in its release has given its answers: the run stands, and the next run
// gets a host process that works, with its whole time.
TEST(HostileModules, AFailureInTheReleaseLeavesTheRunsAnswers) {
  Rig rig;
  auto check = rig.Check();
  for (const char* prog_id : {"Hostile.ReleaseSegv", "Hostile.ReleaseLoop"}) {
    const Verdict v = RunCheck(*check, prog_id);
    EXPECT_TRUE(v.passed) << prog_id << ": " << v.text;
    const Verdict next = RunCheck(*check, "Hostile.Good");
    EXPECT_TRUE(next.passed) << prog_id << ": the next run: " << next.text;
  }
}

TEST(HostileModules, AMessageLeftOnTheSocketDoesNotReachTheNextRun) {
  Rig rig;
  auto check = rig.Check();
  const Verdict stray = RunCheck(*check, "Hostile.Stray");
  EXPECT_TRUE(stray.passed) << stray.text;
  const std::vector<int> host = rig.hosts->IdleHostIds();
  const Verdict next = RunCheck(*check, "Hostile.Good");
  EXPECT_TRUE(next.passed) << next.text;
  EXPECT_NE(rig.hosts->IdleHostIds(), host) << "the host process that sent the stray message was kept";
}

TEST(HostileModules, AComponentsOwnFailureKeepsItsHostProcess) {
  Rig rig;
  auto check = rig.Check();
  ASSERT_TRUE(RunCheck(*check, "Hostile.Good").passed);
  const std::vector<int> host = rig.hosts->IdleHostIds();
  // A ProgID the module does not have: the host answers an error, and is fine.
  const Verdict v = RunCheck(*check, "Hostile.Nobody");
  EXPECT_FALSE(v.passed);
  EXPECT_NE(v.text.find("Hostile.Nobody"), std::string::npos) << v.text;
  EXPECT_EQ(rig.hosts->IdleHostIds(), host);
}

// A component sees exactly the calls out of process that it sees in process, whichever call fails:
// the host stops at the first failing request of what it was sent together, so after a refused put
// nothing is graded and after a failed "ping" nothing more is read, and the failure recorded is the
// same.
TEST(HostileModules, OutOfProcessTheComponentGetsTheCallsItGetsInProcess) {
  const std::vector<std::string> failing = {"",        "TestPath", "AnsCont",  "GetTotalScore", "ErrInfoType",
                                            "ping",    "ShowErr",  "ErrMsgXml"};
  fakes::TempDir logs;
  for (const std::string& member : failing) {
    std::map<std::string, std::string> log;
    std::map<std::string, Verdict> verdict;
    for (const std::string where : {"in process", "out of process"}) {
      const std::string path = logs / (member + where);
      ::setenv("VX_RECORDING_LOG", path.c_str(), 1);
      ::setenv("VX_RECORDING_FAIL", member.c_str(), 1);
      if (where == "in process") {
        ComponentRegistry registry;
        registry.LoadModule(HOSTILE_MODULE);
        auto platform = std::make_shared<Platform>();
        platform->classes = &registry;
        fakes::TempDir work;
        ClsEnviChk check(platform);
        check.PingPath(work.path());
        verdict[where] = RunCheck(check, "Hostile.Recording");
      } else {
        Rig rig;
        auto check = rig.Check();
        verdict[where] = RunCheck(*check, "Hostile.Recording");
        // The host answers a release after the run (it needs no wait): the next run on the host
        // receives that answer first, so the release is in the log by the time the next run is.
        EXPECT_TRUE(RunCheck(*check, "Hostile.Good").passed) << "failing: " << member;
      }
      std::ifstream in(path);
      log[where] = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    ::unsetenv("VX_RECORDING_LOG");
    ::unsetenv("VX_RECORDING_FAIL");
    EXPECT_EQ(log["out of process"], log["in process"]) << "failing: " << member;
    EXPECT_NE(log["in process"].find("release"), std::string::npos) << "failing: " << member;
    EXPECT_EQ(verdict["out of process"].passed, verdict["in process"].passed) << "failing: " << member;
    EXPECT_EQ(verdict["out of process"].passed, member.empty()) << "failing: " << member;
    EXPECT_EQ(verdict["out of process"].text, verdict["in process"].text) << "failing: " << member;
  }
}

TEST(HostilePrograms, EachFailsItsRecordAndLeavesNothingRunning) {
  Rig rig;
  for (const ProgramRow& row : kProgramRows) {
    // The marker finds the program's processes; sh keeps its -c text on its command line.
    const std::string marker = std::string("vx-marker-") + row.prog_id;
    RegisterProgram(rig.records.path(), row.prog_id, {"/bin/sh", "-c", std::string(row.script) + " # " + marker});
    auto check = rig.Check();
    const Verdict v = RunCheck(*check, row.prog_id);
    ExpectReported(v, row.prog_id, row.reason, row.name);
    EXPECT_TRUE(Eventually([&] { return ProcessesWith(marker).empty(); })) << row.name << ": a process is left";

    const Verdict next = RunCheck(*check, "Hostile.Good");
    EXPECT_TRUE(next.passed) << row.name << ": the next check of the same object: " << next.text;
  }
}

// Keeps the records a check tells of.
struct Records : CheckObserver {
  void OnRecord(const RecordResult& result) override { records.push_back(result); }
  std::vector<RecordResult> records;
};

// A component that leaves a process behind, however it starts it: the process is stopped when the
// scoring run ends (before the check answers), the record keeps the outcome its grading gave, with
// a warning naming the process, and the next run of the same host has no warning.
void ExpectLeftProcessStopped(Rig& rig, const std::string& prog_id, const std::string& marker, const char* name) {
  auto check = rig.Check();
  Records seen;
  check->SetObserver(&seen);
  const Verdict v = RunCheck(*check, prog_id);
  EXPECT_TRUE(ProcessesWith(marker).empty()) << name << ": a process it started outlived its run";
  ASSERT_EQ(seen.records.size(), 1u) << name;
  EXPECT_TRUE(v.passed) << name << ": " << seen.records[0].reason;
  const std::vector<std::string>& warnings = seen.records[0].warnings;
  ASSERT_FALSE(warnings.empty()) << name << ": no warning names the process it left";
  const std::string& warning = warnings.front();
  EXPECT_EQ(warning.rfind("the scoring component " + prog_id + " left a process running (`", 0), 0u) << name << ": " << warning;
  EXPECT_NE(warning.find("`); it was stopped"), std::string::npos) << name << ": " << warning;

  seen.records.clear();
  EXPECT_TRUE(RunCheck(*check, "Hostile.Good").passed) << name;
  ASSERT_EQ(seen.records.size(), 1u) << name;
  EXPECT_TRUE(seen.records[0].warnings.empty()) << name << ": " << seen.records[0].warnings.front();
}

TEST(LeftProcesses, AModuleComponentsProcessesEndWithItsRun) {
  const char* rows[] = {"Forker", "DoubleFork", "CloneParent", "Renamer", "LateWriter"};
  for (const char* row : rows) {
    Rig rig;
    ExpectLeftProcessStopped(rig, std::string("Hostile.") + row, std::string("vx-left-") + row, row);
  }
}

TEST(LeftProcesses, AProgramComponentsProcessesEndWithItsRun) {
  const std::string answer = "echo '{\"ping\": 100, \"ShowErr\": \"\", \"ErrMsgXml\": \"\"}'";
  struct Row {
    const char* name;
    std::string script;  // $1 is the marker
  } rows[] = {
      {"fork", "sh -c 'while :; do sleep 1; done; : '$1 & " + answer},
      {"double fork with setsid", "setsid -f sh -c 'while :; do sleep 1; done; : '$1; " + answer},
      {"renames itself", "bash -c 'exec -a \"[kworker/0:1] $0\" sleep 1000' $1 & " + answer},
      // A sibling: clone(CLONE_PARENT) makes a child of the program's parent.
      {"clone(CLONE_PARENT)", "python3 \"$0\" $1; " + answer},
  };
  // Python takes its time to start on a loaded machine.
  IsolationSettings settings = SmallLimits();
  settings.seconds = 60;
  Rig rig(settings);
  const std::string cloner = rig.records / "clone_parent.py";
  fakes::WriteFileText(cloner,
                       "import ctypes, os, sys\n"
                       "nr = {'x86_64': 56, 'aarch64': 220}[os.uname().machine]\n"
                       "if ctypes.CDLL(None, use_errno=True).syscall(nr, 0x8000 | 17, 0, 0, 0, 0) == 0:\n"
                       "    os.execv('/bin/sh', ['sh', '-c', 'while :; do sleep 1; done; : ' + sys.argv[1]])\n");
  for (const Row& row : rows) {
    const std::string marker = std::string("vx-left-program-") + std::to_string(&row - rows);
    RegisterProgram(rig.records.path(), "Test.Leaver", {"/bin/sh", "-c", row.script, cloner, marker});
    ExpectLeftProcessStopped(rig, "Test.Leaver", marker, row.name);
  }
}

// A process left to write the file a later answer lacks is gone before that answer is graded.
TEST(LeftProcesses, ALeftoverWriterPassesNoLaterRecord) {
  Rig rig;
  auto check = rig.Check();
  ASSERT_TRUE(RunCheck(*check, "Hostile.LateWriter").passed);
  // Past the moment it would have started writing.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_FALSE(fakes::PathExists(rig.work / "answer/checked.txt"));
  const Verdict later = RunCheck(*check, "Hostile.FileGrader");
  EXPECT_FALSE(later.passed) << "an answer without answer/checked.txt passed";
}

// In process, whose child an abandoned process is cannot be told: a run that ends while another is
// under way (another worker's) waits for it, so that what the first run left is gone when its Finish
// returns, and the next record in that worker's folder cannot meet it.
TEST(LeftProcesses, InProcessARunsLeftoverIsGoneWhenItsFinishReturnsThoughAnotherRunIsUnderWay) {
  fakes::TempDir work;
  ComponentRegistry registry("");
  registry.LoadModule(HOSTILE_MODULE);
  registry.ContainInProcess();
  const auto grade = [&](NamedObject& object) {
    object.Put("TestPath", Variant::Text(work.path()));
    object.Put("AnsCont", Variant::Text("perfect"));
    object.Put("GetTotalScore", Variant::I2(100));
    object.Put("ErrInfoType", Variant::I2(1));
    return ToSingle(object.Read("ping"));
  };
  std::unique_ptr<NamedObject> other = registry.Create("Hostile.Good");  // another worker's run
  std::unique_ptr<NamedObject> leaver = registry.Create("Hostile.Forker");
  EXPECT_EQ(grade(*leaver), 100.0f);
  ASSERT_TRUE(Eventually([] { return !ProcessesWith("vx-left-Forker").empty(); }));
  bool left_after_finish = true;
  std::vector<std::string> warnings;
  std::atomic<bool> finishing{false};
  std::thread finisher([&] {
    finishing = true;
    warnings = leaver->Finish();
    left_after_finish = !ProcessesWith("vx-left-Forker").empty();
  });
  EXPECT_EQ(grade(*other), 100.0f);
  // The other run ends after the first one's Finish was called (and, were it not held, returned).
  while (!finishing) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::vector<std::string> other_warnings = other->Finish();
  finisher.join();
  EXPECT_FALSE(left_after_finish) << "the leftover outlived its run's Finish";
  EXPECT_GE(warnings.size() + other_warnings.size(), 1u);  // named once, in the last Finish
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

// Where no PID namespace can be made, the host stops every process it started, however deep: here
// the test process stands for the host, with a child that has a child of its own and a daemon
// whose parent is gone.
TEST(ComponentProcesses, WithoutANamespaceEveryDescendantIsStopped) {
  // The markers carry this process's id: what an earlier run that was cut short left is not counted.
  const std::string mark = "vx-desc-" + std::to_string(::getpid());
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  const std::string script =
      "setsid -f sh -c 'sleep 1000; : " + mark + "-daemon'; sleep 1000 & wait; : " + mark + "-child";
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The child, its sleep, the daemon (and the daemon's sleep): the shells start them in their own
  // time, so the count is awaited, not read at once.
  ASSERT_TRUE(Eventually([&] { return !ProcessesWith(mark + "-daemon").empty() && ProcessesLeft(true).size() >= 3; }))
      << ProcessesLeft(true).size() << " processes seen";
  const std::vector<std::string> left = ProcessesLeft(true);
  std::string all;
  for (const std::string& cmd : left) all += cmd + "\n";
  EXPECT_NE(all.find(mark + "-daemon"), std::string::npos) << all;
  EXPECT_TRUE(KillProcessesLeft(true, 5000));
  EXPECT_TRUE(ProcessesWith(mark).empty());
  EXPECT_TRUE(ProcessesLeft(true).empty());
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

// Under the sandbox, bubblewrap runs the component as its child: the memory watched is the
// child's. Here a shell stands for bubblewrap, and `tail /dev/zero` (which keeps its one endless
// line) for a component that takes memory.
TEST(ComponentProcesses, TheMemoryOfAWrappedComponentIsItsChilds) {
  ProcessSpec spec;
  spec.argv = {"/bin/sh", "-c", "tail /dev/zero; :"};
  spec.address_space_bytes = uint64_t{1} << 30;
  spec.wrapped = true;
  auto process = ComponentProcess::Start(spec);
  EXPECT_TRUE(Eventually([&] { return process->ResidentBytes() > (uint64_t{32} << 20); }))
      << "resident bytes seen: " << process->ResidentBytes();
  process->Stop();
}

}  // namespace
}  // namespace vardenix::isolation_test
