// A scoring-component module of components that misbehave in every way a process can, for the tests
// of out-of-process hosting. Each class takes the four puts and misbehaves when asked for "ping"
// (or, for Hostile.PutSegv, when it takes "AnsCont"; for Hostile.Huge, for "ShowErr"; for
// Hostile.Stray, Hostile.ReleaseSegv and Hostile.ReleaseLoop, when it is released); Hostile.Good
// grades like a real component: full marks for the answer text "perfect", half otherwise; Hostile.Late
// grades so too, 1.5 s after it is asked for "ping".
#include <signal.h>
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

enum class Harm {
  kNone, kSegv, kPutSegv, kAbort, kExit, kLoop, kStubbornLoop, kHog, kChattyHog, kForker, kHuge, kGarbage, kChatty,
  kStray, kReleaseSegv, kReleaseLoop, kLate
};

template <Harm harm>
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
    puts_[member] = value;
  }

  vx::Value Read(const std::string& member) {
    if (member == "ping") {
      Misbehave();
      const double total = puts_["GetTotalScore"].Number();
      return vx::Value::R4(static_cast<float>(puts_["AnsCont"].text == "perfect" ? total : total / 2));
    }
    if (member == "ShowErr") {
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
      const pid_t child = ::fork();
      if (child == 0) {
        for (;;) ::pause();
      }
      // Where the test can find the child it left.
      std::ofstream(puts_["TestPath"].text + "/forker.pid") << child << '\n';
    } else if constexpr (harm == Harm::kGarbage) {
      // A message of a kind that does not exist, on the host's own socket.
      const char junk[] = {5, 0, 0, 0, 'Z', 'j', 'u', 'n', 'k'};
      [[maybe_unused]] ssize_t ignored = ::write(3, junk, sizeof junk);
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
    vx::MakeClass<Scorer<Harm::kLate>>("Hostile.Late"),
    vx::MakeClass<Recording>("Hostile.Recording"),
};

}  // namespace

VX_DEFINE_MODULE(kClasses)
