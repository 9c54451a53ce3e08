// A scoring-component module of components that misbehave in every way a process can, for the tests
// of out-of-process hosting. Each class takes the four puts and misbehaves when asked for "ping"
// (or, for Hostile.PutSegv, when it takes "AnsCont"; for Hostile.Huge, for "ShowErr"; for
// Hostile.Stray, Hostile.ReleaseSegv and Hostile.ReleaseLoop, when it is released); Hostile.Good
// grades like a real component: full marks for the answer text "perfect", half otherwise; Hostile.Late
// grades so too, 1.5 s after it is asked for "ping". The classes that leave a process behind
// (Hostile.Forker, .DoubleFork, .CloneParent, .Renamer, .LateWriter) grade as Hostile.Good does; the
// process they leave has "vx-left-" and the class's name in its command line. Hostile.FileGrader gives
// full marks only when the working folder holds answer/checked.txt. Hostile.Throw throws what
// std::stoi throws for the answer text when asked for "ping"; Hostile.PutThrow throws
// std::domain_error when it takes "AnsCont".
//
// The Hostile.Leave.* classes grade honestly and then change the working folder to sway the next
// record: full marks when answer/checked is there (in any form), none otherwise; then each touches,
// appends to, cuts, renames over, replaces or creates answer/checked (or what an answer has).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "vardenix/component.h"

namespace {

// What a Hostile.Leave.* class does to the working folder after it graded.
enum class Leave { kNothing, kTouch, kAppend, kTruncate, kRenameOver, kToLink, kToFolder, kFolderToFile, kCreate };

void LeaveBehind(Leave how, const std::string& folder) {
  const std::string checked = folder + "/answer/checked";
  const std::string report = folder + "/answer/report.txt";
  struct stat st;
  const bool there = ::lstat(checked.c_str(), &st) == 0;
  switch (how) {
    case Leave::kNothing:
      break;
    case Leave::kTouch:
      if (there) ::utimensat(AT_FDCWD, checked.c_str(), nullptr, 0);
      break;
    case Leave::kAppend:
      if (there) std::ofstream(checked, std::ios::app) << "more";
      break;
    case Leave::kTruncate:
      if (there) (void)!::truncate(checked.c_str(), 0);
      break;
    case Leave::kRenameOver:
      ::rename(report.c_str(), checked.c_str());
      break;
    case Leave::kToLink:
      if (there && ::unlink(checked.c_str()) == 0) (void)!::symlink("report.txt", checked.c_str());
      break;
    case Leave::kToFolder:
      if (there && ::unlink(checked.c_str()) == 0) ::mkdir(checked.c_str(), 0755);
      break;
    case Leave::kFolderToFile:
      if (there && S_ISDIR(st.st_mode)) {
        ::unlink((checked + "/inside.txt").c_str());
        ::rmdir(checked.c_str());
        std::ofstream(checked) << "a file now";
      }
      break;
    case Leave::kCreate:
      if (!there) std::ofstream(checked) << "made by the component";
      break;
  }
}

enum class Harm {
  kNone, kSegv, kPutSegv, kAbort, kExit, kLoop, kStubbornLoop, kHog, kChattyHog, kForker, kHuge, kGarbage, kChatty,
  kStray, kReleaseSegv, kReleaseLoop, kLate, kDoubleFork, kCloneParent, kRenamer, kLateWriter, kFileGrader,
  kThrow, kPutThrow
};

// Becomes a shell that runs `script` with the working folder as $0 and never ends by itself.
[[noreturn]] void BecomeLeftover(const char* argv0, const std::string& script, const std::string& folder) {
  ::execl("/bin/sh", argv0, "-c", script.c_str(), folder.c_str(), static_cast<char*>(nullptr));
  ::_exit(127);
}

const char kSleeper[] = "while :; do sleep 1; done; : ";

template <Harm harm, Leave leave = Leave::kNothing>
class Scorer {
 public:
  Scorer() = default;
  Scorer(const Scorer&) = delete;
  Scorer& operator=(const Scorer&) = delete;
  ~Scorer() {
    if constexpr (harm == Harm::kStray) {
      // Released after a run that went well: one more message on the host's socket, of a kind the
      // host sends, that answers nothing.
      const char stray[] = {5, 0, 0, 0, 'K', 1, 0, 0, 0};
      [[maybe_unused]] ssize_t ignored = ::write(3, stray, sizeof stray);
    } else if constexpr (harm == Harm::kReleaseSegv) {
      ::signal(SIGSEGV, SIG_DFL);
      ::raise(SIGSEGV);
    } else if constexpr (harm == Harm::kReleaseLoop) {
      volatile unsigned long spins = 0;
      for (;;) spins = spins + 1;
    }
  }

  void Put(const std::string& member, const vx::Value& value) {
    if (member != "TestPath" && member != "AnsCont" && member != "GetTotalScore" && member != "ErrInfoType") {
      throw vx::UnknownMember();
    }
    if constexpr (harm == Harm::kPutSegv) {
      if (member == "AnsCont") {
        ::signal(SIGSEGV, SIG_DFL);
        ::raise(SIGSEGV);
      }
    }
    if constexpr (harm == Harm::kPutThrow) {
      if (member == "AnsCont") throw std::domain_error("AnsCont takes a number");
    }
    puts_[member] = value;
  }

  vx::Value Read(const std::string& member) {
    if constexpr (harm == Harm::kFileGrader) {
      if (member == "ping") {
        std::ifstream checked(puts_["TestPath"].text + "/answer/checked.txt");
        return vx::Value::R4(checked ? 100.0f : 0.0f);
      }
    }
    if (member == "ping") {
      if constexpr (leave != Leave::kNothing) {
        const std::string folder = puts_["TestPath"].text;
        struct stat st;
        const bool there = ::lstat((folder + "/answer/checked").c_str(), &st) == 0;
        LeaveBehind(leave, folder);
        return vx::Value::R4(there ? 100.0f : 0.0f);
      }
      Misbehave();
      const double total = puts_["GetTotalScore"].Number();
      return vx::Value::R4(static_cast<float>(puts_["AnsCont"].text == "perfect" ? total : total / 2));
    }
    if (member == "ShowErr") {
      if constexpr (leave != Leave::kNothing) return vx::Value::Text("");
      if constexpr (harm == Harm::kHuge) return vx::Value::Text(std::string(100u << 20, 'x'));
      return vx::Value::Text(puts_["AnsCont"].text == "perfect" ? "" : "not perfect\r\n");
    }
    if (member == "ErrMsgXml") return vx::Value::Text("");
    if (member == "Pid") return vx::Value::I4(static_cast<int32_t>(::getpid()));
    throw vx::UnknownMember();
  }

 private:
  void Misbehave() {
    if constexpr (harm == Harm::kSegv) {
      // Raised rather than caused: a sanitizer would catch a real null store first and exit.
      ::signal(SIGSEGV, SIG_DFL);
      ::raise(SIGSEGV);
    } else if constexpr (harm == Harm::kAbort) {
      std::abort();
    } else if constexpr (harm == Harm::kExit) {
      std::exit(0);
    } else if constexpr (harm == Harm::kLoop || harm == Harm::kStubbornLoop) {
      if constexpr (harm == Harm::kStubbornLoop) ::signal(SIGTERM, SIG_IGN);
      volatile unsigned long spins = 0;
      for (;;) spins = spins + 1;
    } else if constexpr (harm == Harm::kHog) {
      std::vector<char*> kept;
      for (;;) {
        char* block = new char[1u << 20];
        std::memset(block, 1, 1u << 20);
        kept.push_back(block);
      }
    } else if constexpr (harm == Harm::kChattyHog) {
      // Never quiet: a line on stderr for every block it takes.
      std::vector<char*> kept;
      for (int i = 0;; ++i) {
        char* block = new char[1u << 20];
        std::memset(block, 1, 1u << 20);
        kept.push_back(block);
        std::fprintf(stderr, "took block %d\n", i);
      }
    } else if constexpr (harm == Harm::kForker) {
      if (::fork() == 0) BecomeLeftover("sh", std::string(kSleeper) + "vx-left-Forker", puts_["TestPath"].text);
    } else if constexpr (harm == Harm::kDoubleFork || harm == Harm::kLateWriter) {
      // A daemon: a session of its own, and its parent gone.
      const pid_t child = ::fork();
      if (child == 0) {
        ::setsid();
        if (::fork() == 0) {
          if constexpr (harm == Harm::kLateWriter) {
            // Writes the file another answer lacks, once its own run is over.
            BecomeLeftover("sh",
                           "sleep 0.3; while :; do echo x > \"$0/answer/checked.txt\"; sleep 0.01; done; : "
                           "vx-left-LateWriter",
                           puts_["TestPath"].text);
          }
          BecomeLeftover("sh", std::string(kSleeper) + "vx-left-DoubleFork", puts_["TestPath"].text);
        }
        ::_exit(0);
      }
      ::waitpid(child, nullptr, 0);
    } else if constexpr (harm == Harm::kCloneParent) {
      // A sibling of the host: the host's parent is its parent.
      const long child = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
      if (child == 0) {
        ::setsid();
        BecomeLeftover("sh", std::string(kSleeper) + "vx-left-CloneParent", puts_["TestPath"].text);
      }
    } else if constexpr (harm == Harm::kRenamer) {
      if (::fork() == 0) {
        ::prctl(PR_SET_NAME, "kworker/0:1", 0, 0, 0);
        BecomeLeftover("[kworker/0:1]", std::string(kSleeper) + "vx-left-Renamer", puts_["TestPath"].text);
      }
    } else if constexpr (harm == Harm::kGarbage) {
      // A message of a kind that does not exist, on the host's own socket.
      const char junk[] = {5, 0, 0, 0, 'Z', 'j', 'u', 'n', 'k'};
      [[maybe_unused]] ssize_t ignored = ::write(3, junk, sizeof junk);
    } else if constexpr (harm == Harm::kThrow) {
      [[maybe_unused]] const int score = std::stoi(puts_["AnsCont"].text);
    } else if constexpr (harm == Harm::kLate) {
      // A right answer, but only after 1.5 s: under a limit of 1 s it must not count.
      ::usleep(1500 * 1000);
    } else if constexpr (harm == Harm::kChatty) {
      for (int i = 0; i < 2000; ++i) std::printf("chatter on stdout %d\n", i);
      std::fflush(stdout);
      std::fprintf(stderr, "a word on stderr\n");
    }
  }

  std::map<std::string, vx::Value> puts_;
};

// Hostile.Recording logs each call it gets (create, put, read, release), one line each, to the file
// $VX_RECORDING_LOG, and fails the put or read of the member $VX_RECORDING_FAIL: run in process and
// out of process, the two logs show whether the component saw the same calls.
class Recording {
 public:
  Recording() { Log("create"); }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording() { Log("release"); }

  void Put(const std::string& member, const vx::Value& value) {
    Log("put " + member);
    Fail(member);
    puts_[member] = value;
  }

  vx::Value Read(const std::string& member) {
    Log("read " + member);
    Fail(member);
    if (member == "ping") return vx::Value::R4(static_cast<float>(puts_["GetTotalScore"].Number()));
    if (member == "ShowErr" || member == "ErrMsgXml") return vx::Value::Text("");
    throw vx::UnknownMember();
  }

 private:
  static void Log(const std::string& line) {
    if (const char* path = std::getenv("VX_RECORDING_LOG")) std::ofstream(path, std::ios::app) << line << '\n';
  }
  static void Fail(const std::string& member) {
    const char* failing = std::getenv("VX_RECORDING_FAIL");
    if (failing != nullptr && member == failing) throw std::runtime_error("the recording component fails " + member);
  }

  std::map<std::string, vx::Value> puts_;
};

const vx_class kClasses[] = {
    vx::MakeClass<Scorer<Harm::kNone>>("Hostile.Good"),
    vx::MakeClass<Scorer<Harm::kSegv>>("Hostile.Segv"),
    vx::MakeClass<Scorer<Harm::kPutSegv>>("Hostile.PutSegv"),
    vx::MakeClass<Scorer<Harm::kAbort>>("Hostile.Abort"),
    vx::MakeClass<Scorer<Harm::kExit>>("Hostile.Exit"),
    vx::MakeClass<Scorer<Harm::kLoop>>("Hostile.Loop"),
    vx::MakeClass<Scorer<Harm::kStubbornLoop>>("Hostile.Stubborn"),
    vx::MakeClass<Scorer<Harm::kHog>>("Hostile.Hog"),
    vx::MakeClass<Scorer<Harm::kChattyHog>>("Hostile.ChattyHog"),
    vx::MakeClass<Scorer<Harm::kForker>>("Hostile.Forker"),
    vx::MakeClass<Scorer<Harm::kHuge>>("Hostile.Huge"),
    vx::MakeClass<Scorer<Harm::kGarbage>>("Hostile.Garbage"),
    vx::MakeClass<Scorer<Harm::kChatty>>("Hostile.Chatty"),
    vx::MakeClass<Scorer<Harm::kStray>>("Hostile.Stray"),
    vx::MakeClass<Scorer<Harm::kReleaseSegv>>("Hostile.ReleaseSegv"),
    vx::MakeClass<Scorer<Harm::kReleaseLoop>>("Hostile.ReleaseLoop"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kTouch>>("Hostile.Leave.Touch"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kAppend>>("Hostile.Leave.Append"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kTruncate>>("Hostile.Leave.Truncate"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kRenameOver>>("Hostile.Leave.RenameOver"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kToLink>>("Hostile.Leave.ToLink"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kToFolder>>("Hostile.Leave.ToFolder"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kFolderToFile>>("Hostile.Leave.FolderToFile"),
    vx::MakeClass<Scorer<Harm::kNone, Leave::kCreate>>("Hostile.Leave.Create"),
    vx::MakeClass<Scorer<Harm::kLate>>("Hostile.Late"),
    vx::MakeClass<Recording>("Hostile.Recording"),
    vx::MakeClass<Scorer<Harm::kDoubleFork>>("Hostile.DoubleFork"),
    vx::MakeClass<Scorer<Harm::kCloneParent>>("Hostile.CloneParent"),
    vx::MakeClass<Scorer<Harm::kRenamer>>("Hostile.Renamer"),
    vx::MakeClass<Scorer<Harm::kLateWriter>>("Hostile.LateWriter"),
    vx::MakeClass<Scorer<Harm::kFileGrader>>("Hostile.FileGrader"),
    vx::MakeClass<Scorer<Harm::kThrow>>("Hostile.Throw"),
    vx::MakeClass<Scorer<Harm::kPutThrow>>("Hostile.PutThrow"),
};

}  // namespace

VX_DEFINE_MODULE(kClasses)
