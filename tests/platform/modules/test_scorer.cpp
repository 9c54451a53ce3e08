// A scoring-component module written with the C++ layer of vardenix/component.h.
//
// "Vardenix.Test.Scorer" takes the four puts of a scoring run and answers, through "ShowErr", what
// it was given with each value's type tag, so a test sees exactly what crossed the boundary.
// "ping" answers the total score for the answer text "perfect" and half of it otherwise.
// "Explode" fails both ways; "Live" answers how many scorer objects exist (to see releases).
// Reading "Stoi", "Int" or "NoMemory" and putting "Graded" throw other exceptions: what std::stoi
// throws, an int, std::bad_alloc, and an exception type of the module's own.
// "Vardenix.Test.Unborn" cannot be created.
#include <atomic>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

#include "vardenix/component.h"

namespace acme {

struct GradeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace acme

namespace {

std::atomic<int> live_scorers{0};

std::string Show(const vx::Value& v) {
  std::string out = std::to_string(v.type) + ":";
  if (v.type == VX_TEXT) return out + v.text;
  if (v.IsNumber()) return out + std::to_string(v.Number());
  return out;
}

class Scorer {
 public:
  Scorer() { ++live_scorers; }
  ~Scorer() { --live_scorers; }
  Scorer(const Scorer&) = delete;
  Scorer& operator=(const Scorer&) = delete;

  void Put(const std::string& member, const vx::Value& value) {
    if (member == "Explode") throw std::runtime_error("the scorer exploded while taking " + Show(value));
    if (member == "Graded") throw acme::GradeError("no rule for " + Show(value));
    if (member != "TestPath" && member != "AnsCont" && member != "GetTotalScore" && member != "ErrInfoType") {
      throw vx::UnknownMember();
    }
    puts_[member] = value;
  }

  vx::Value Read(const std::string& member) {
    if (member == "ping") {
      const double total = puts_["GetTotalScore"].Number();
      return vx::Value::R4(static_cast<float>(puts_["AnsCont"].text == "perfect" ? total : total / 2));
    }
    if (member == "ShowErr") {
      std::string out;
      for (const auto& [name, value] : puts_) out += name + "=" + Show(value) + ";";
      return vx::Value::Text(out);
    }
    if (member == "ErrMsgXml") return vx::Value::Text("<RuleErrs/>");
    if (member == "Live") return vx::Value::I4(live_scorers.load());
    if (member == "Explode") throw std::runtime_error("the scorer exploded");
    if (member == "Stoi") return vx::Value::I4(std::stoi(puts_["AnsCont"].text));
    if (member == "Int") throw 42;
    if (member == "NoMemory") throw std::bad_alloc();
    throw vx::UnknownMember();
  }

 private:
  std::map<std::string, vx::Value> puts_;
};

struct Unborn {
  Unborn() { throw std::runtime_error("no licence for this scorer"); }
  void Put(const std::string&, const vx::Value&) {}
  vx::Value Read(const std::string&) { return {}; }
};

const vx_class kClasses[] = {
    vx::MakeClass<Scorer>("Vardenix.Test.Scorer"),
    vx::MakeClass<Unborn>("Vardenix.Test.Unborn"),
};

}  // namespace

VX_DEFINE_MODULE(kClasses)
