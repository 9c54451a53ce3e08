// A C++ host linked against libvardenix++.so alone: it registers a component in-process, checks a
// typical document three times through the shared library (a pass, a fail, and a component whose
// exception fails the run), and follows each record through an observer of its own class. Exit
// status 0 when every check answered as it should; otherwise each wrong answer is printed.
//
//   shared_host WORKING_FOLDER
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

namespace {

// Full marks for the answer text "pass", none for any other; std::stoi's exception for "throw".
class Scorer {
 public:
  void Put(const std::string& member, const vx::Value& value) {
    if (member == "AnsCont") answer_ = value.text;
    if (member == "GetTotalScore") total_ = value.Number();
  }
  vx::Value Read(const std::string& member) {
    if (member == "ping") {
      if (answer_ == "throw") return vx::Value::R4(static_cast<float>(std::stoi(answer_)));
      return vx::Value::R4(static_cast<float>(answer_ == "pass" ? total_ : 0));
    }
    if (member == "ShowErr") return vx::Value::Text(answer_ == "pass" ? "" : "not the answer\r\n");
    if (member == "ErrMsgXml") return vx::Value::Text("");
    throw vx::UnknownMember();
  }

 private:
  std::string answer_;
  double total_ = 0;
};

// The records the library tells of, through the host's own class (a vtable across the boundary).
class Records final : public vardenix::CheckObserver {
 public:
  void OnRecord(const vardenix::RecordResult& result) override { seen.push_back(result); }
  std::vector<vardenix::RecordResult> seen;
};

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (ok) return;
  std::cout << "wrong: " << what << '\n';
  ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: shared_host WORKING_FOLDER\n";
    return 2;
  }
  vx::RegisterComponent<Scorer>("Test.SharedHost");
  // The empty zip archive: the check stages and extracts it, and the component grades the answer text.
  const std::vector<uint8_t> empty_zip = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct {
    const char* answer;
    bool passed;
    vardenix::RecordOutcome outcome;
    std::string reason;
  } rows[] = {
      {"pass", true, vardenix::RecordOutcome::kPassed, ""},
      {"fail", false, vardenix::RecordOutcome::kFailed, ""},
      {"throw", false, vardenix::RecordOutcome::kRunTimeFailure,
       "the scoring component Test.SharedHost failed while answering \"ping\": std::invalid_argument: stoi"},
  };
  for (const auto& row : rows) {
    vardenix::ClsEnviChk check;
    Records records;
    check.SetObserver(&records);
    check.PingName("Test.SharedHost");
    check.PingPath(argv[1]);
    std::vector<uint8_t> archive = empty_zip;
    std::string text, xml;
    const bool passed = check.PingEnviChk(text, xml, archive, row.answer, vardenix::ChkResultDoc);
    Expect(passed == row.passed, std::string(row.answer) + ": verdict " + (passed ? "passed" : "not passed") +
                                     "; text: " + text);
    Expect(records.seen.size() == 1, std::string(row.answer) + ": " + std::to_string(records.seen.size()) + " records told");
    if (records.seen.size() == 1) {
      const vardenix::RecordResult& r = records.seen.front();
      Expect(r.typical_document && r.outcome == row.outcome,
             std::string(row.answer) + ": outcome " + std::to_string(static_cast<int>(r.outcome)));
      Expect(r.reason == row.reason, std::string(row.answer) + ": reason \"" + r.reason + "\"");
    }
  }
  // The library's exception reaches the host as the type the header declares.
  try {
    vardenix::ClsEnviChk check(nullptr);
    Expect(false, "a check object without a platform was made");
  } catch (const vardenix::RuntimeError& e) {
    Expect(!e.Description().empty(), "the library's RuntimeError has no description");
  } catch (const std::exception& e) {
    Expect(false, std::string("not a vardenix::RuntimeError: ") + e.what());
  }
  if (failures == 0) std::cout << "the host linked against libvardenix++.so checked as expected\n";
  return failures == 0 ? 0 : 1;
}
