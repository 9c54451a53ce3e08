// Vardenix.FileCheck: a scoring component for file-operation questions.
//
// The host puts "TestPath" (the folder where the answer was extracted), "AnsCont" (the rule text,
// see rules.h), "GetTotalScore" (the full mark) and "ErrInfoType", then reads "ping" (the score),
// "ShowErr" (one Chinese line per unmet rule) and "ErrMsgXml" (a RuleErrs document, one RuleErr per
// unmet rule). Member names are matched without regard to ASCII case, as late binding does.
//
// The class is written with the C++ layer of vardenix/component.h: a plain class with Put and Read,
// turned into a vx_class by vx::MakeClass. An exception from Put or Read reaches the host as a failed
// call with its type and message; vx::UnknownMember as "no such member". The module is built with hidden
// visibility, so it exports its entry point and nothing else, and it shares no state between objects.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "scorers/filecheck/grader.h"
#include "scorers/filecheck/rules.h"
#include "vardenix/component.h"

namespace {

using vardenix::filecheck::Grading;

bool MemberIs(const std::string& member, const char* name) {
  size_t i = 0;
  for (; i < member.size() && name[i] != '\0'; ++i) {
    char c = member[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char n = name[i];
    if (n >= 'A' && n <= 'Z') n = static_cast<char>(n - 'A' + 'a');
    if (c != n) return false;
  }
  return i == member.size() && name[i] == '\0';
}

// Text members take text; Empty stands for the empty text, as it does in Automation.
std::string TextOf(const char* member, const vx::Value& value) {
  if (value.type == VX_TEXT) return value.text;
  if (value.type == VX_EMPTY) return {};
  throw std::runtime_error(std::string(member) + " takes a text, not a value of type " + std::to_string(value.type));
}

class FileCheck {
 public:
  void Put(const std::string& member, const vx::Value& value) {
    if (MemberIs(member, "TestPath")) {
      test_path_ = TextOf("TestPath", value);
    } else if (MemberIs(member, "AnsCont")) {
      rule_text_ = TextOf("AnsCont", value);
    } else if (MemberIs(member, "GetTotalScore")) {
      if (!value.IsNumber() || !(value.Number() > 0) || !std::isfinite(value.Number())) {
        throw std::runtime_error("GetTotalScore takes a positive number");
      }
      total_score_ = value.Number();
    } else if (MemberIs(member, "ErrInfoType")) {
      // Which details a host wants in the reports. This component always gives all of them, so
      // the value is only checked to be a number.
      if (!value.IsNumber()) throw std::runtime_error("ErrInfoType takes a number");
    } else {
      throw vx::UnknownMember();
    }
    grading_.reset();  // a put after a read grades again
  }

  vx::Value Read(const std::string& member) {
    if (MemberIs(member, "ping")) return vx::Value::R8(Graded().score);
    if (MemberIs(member, "ShowErr")) return vx::Value::Text(Graded().error_text);
    if (MemberIs(member, "ErrMsgXml")) return vx::Value::Text(Graded().error_xml);
    throw vx::UnknownMember();
  }

 private:
  // Grades once per set of puts: the host reads "ping" first and the two reports after it.
  const Grading& Graded() {
    if (!grading_) {
      if (test_path_.empty()) throw std::runtime_error("TestPath was not put: the folder to grade is unknown");
      grading_ = vardenix::filecheck::Grade(test_path_, vardenix::filecheck::ParseRules(rule_text_), total_score_);
    }
    return *grading_;
  }

  std::string test_path_;
  std::string rule_text_;
  double total_score_ = 100;  // the full mark when the host puts none
  std::optional<Grading> grading_;
};

const vx_class kClasses[] = {vx::MakeClass<FileCheck>("Vardenix.FileCheck")};

}  // namespace

VX_DEFINE_MODULE(kClasses)
