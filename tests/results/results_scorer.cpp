// "Vardenix.Test.Results": a scoring component whose answer text says how it answers, so one
// question bank can hold every outcome a record can have:
//   "perfect"     full marks, no report;
//   "explode"     ping fails (as a component does whose rule it cannot read);
//   "ill-formed"  half marks with an ErrMsgXml that is not XML;
//   anything else half marks, "short: <answer>" as the text and one RuleErr naming the answer.
#include <stdexcept>
#include <string>

#include "vardenix/component.h"

namespace {

class ResultsScorer {
 public:
  void Put(const std::string& member, const vx::Value& value) {
    if (member == "AnsCont") answer_ = value.text;
    if (member == "GetTotalScore") total_ = value.Number();
  }

  vx::Value Read(const std::string& member) {
    if (member == "ping") {
      if (answer_ == "explode") throw std::runtime_error("rule line 1: unknown rule kind \"explode\"");
      return vx::Value::R4(static_cast<float>(answer_ == "perfect" ? total_ : total_ / 2));
    }
    if (member == "ShowErr") return vx::Value::Text(answer_ == "perfect" ? "" : "short: " + answer_ + "\r\n");
    if (member == "ErrMsgXml") {
      if (answer_ == "perfect") return vx::Value::Text("");
      if (answer_ == "ill-formed") return vx::Value::Text("<RuleErrs><RuleErr><Rule>unclosed</RuleErrs>");
      return vx::Value::Text("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n<RuleErrs><RuleErr><Rule>" + answer_ +
                             "</Rule><RuleErrInfo>short of " + answer_ +
                             "</RuleErrInfo><Operation>文件内容</Operation><NeedSet>all</NeedSet><UserSet>half</UserSet>"
                             "<Runtime/><Format/></RuleErr></RuleErrs>");
    }
    throw vx::UnknownMember();
  }

 private:
  std::string answer_;
  double total_ = 100;
};

const vx_class kClasses[] = {vx::MakeClass<ResultsScorer>("Vardenix.Test.Results")};

}  // namespace

VX_DEFINE_MODULE(kClasses)
