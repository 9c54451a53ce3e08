// The smallest complete scoring component: full marks when the file named by the answer text was
// extracted into the working folder, nothing otherwise. Copy it, then change Read("ping") and the
// texts.
//
//   cmake -S examples -B build-example -DCMAKE_PREFIX_PATH=<prefix> && cmake --build build-example
//   vardenix register build-example/minimal_scorer.so
//   vardenix check --ping-name Example.Minimal --archive answer.zip --rule-text 考生/报告.txt
#include <fstream>
#include <string>

#include "vardenix/component.h"

namespace {

class MinimalScorer {
 public:
  // The four properties a check puts before it reads: TestPath, AnsCont, GetTotalScore, ErrInfoType.
  void Put(const std::string& member, const vx::Value& value) {
    if (member == "TestPath") {
      folder_ = value.text;
    } else if (member == "AnsCont") {
      answer_ = value.text;
    } else if (member == "GetTotalScore") {
      total_ = value.Number();
    } else if (member != "ErrInfoType") {
      throw vx::UnknownMember();
    }
  }

  // "ping" is the score (only exactly the full mark passes), "ShowErr" a readable text of what fell
  // short, "ErrMsgXml" a RuleErrs document of the same (empty when nothing fell short).
  vx::Value Read(const std::string& member) {
    const bool found = std::ifstream(folder_ + "/" + answer_).good();
    if (member == "ping") return vx::Value::R4(static_cast<float>(found ? total_ : 0));
    if (member == "ShowErr") return vx::Value::Text(found ? "" : "缺少文件 " + answer_ + "\r\n");
    if (member == "ErrMsgXml") {
      if (found) return vx::Value::Text("");
      return vx::Value::Text("<?xml version=\"1.0\" encoding=\"UTF-8\"?><RuleErrs><RuleErr><Rule>" + answer_ +
                             "</Rule><RuleErrInfo>缺少文件</RuleErrInfo><Operation/><NeedSet/><UserSet/><Runtime/>"
                             "<Format/></RuleErr></RuleErrs>");
    }
    throw vx::UnknownMember();
  }

 private:
  std::string folder_;
  std::string answer_;
  double total_ = 100;
};

const vx_class kClasses[] = {vx::MakeClass<MinimalScorer>("Example.Minimal")};

}  // namespace

VX_DEFINE_MODULE(kClasses)
