#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/check_results.h"
#include "platform/xml_dom.h"

namespace vardenix::cli {
namespace {

std::string Seconds(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

std::string Attr(const std::string& name, const std::string& value) {
  return " " + name + "=\"" + XmlEscape(value, true) + "\"";
}

}  // namespace

std::string XmlEscape(const std::string& text, bool attribute) {
  // What XML cannot hold is replaced by the rule every report uses; then the markup is escaped.
  const std::string safe = XmlSafeText(text);
  std::string out;
  out.reserve(safe.size());
  for (const char c : safe) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\n': out += attribute ? "&#10;" : "\n"; break;
      case '\r': out += attribute ? "&#13;" : "\r"; break;
      case '\t': out += attribute ? "&#9;" : "\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JUnitCase(const RecordResult& record, const std::string& suite) {
  const RecordResult* r = &record;
  const std::string name =
      r->typical_document ? std::string("typical document") : r->rec_no + " (draw " + std::to_string(r->draw) + ")";
  std::string out = "    <testcase" + Attr("classname", "vardenix." + suite) + Attr("name", name) +
                    Attr("time", Seconds(r->seconds));
  const std::string reason = OneLineReason(*r);
  switch (r->outcome) {
    case RecordOutcome::kPassed:
      return out + "/>\n";
    case RecordOutcome::kFailed:
    case RecordOutcome::kRefusedArchive:
      out += ">\n      <failure" + Attr("message", reason) + Attr("type", OutcomeName(r->outcome)) + ">" +
             XmlEscape(r->text.empty() ? r->reason : r->text) + "</failure>\n";
      break;
    case RecordOutcome::kRunTimeFailure:
      out += ">\n      <error" + Attr("message", reason) + Attr("type", OutcomeName(r->outcome)) + ">" +
             XmlEscape(r->reason) + "</error>\n";
      break;
    case RecordOutcome::kNotGraded:
      out += ">\n      <skipped" + Attr("message", reason) + "/>\n";
      break;
  }
  if (!r->text.empty() && r->outcome != RecordOutcome::kFailed) {
    out += "      <system-out>" + XmlEscape(r->text) + "</system-out>\n";
  }
  return out + "    </testcase>\n";
}

void WriteJUnitXml(CheckRun& run, std::ostream& stream) {
  // The suites in the order of the page: the typical document's, every module's (also one without
  // draws, so a module left unchecked shows), then any other the records named. Each record's case
  // was written into its suite's place as it came.
  RecordLog& log = run.records;
  std::vector<std::string> order;
  std::set<std::string> placed;
  const auto place = [&](const std::string& name) {
    if (placed.insert(name).second) order.push_back(name);
  };
  for (const RecordLog::Suite& s : log.Suites()) {
    if (s.name == "typical document") place(s.name);
  }
  for (const ModuleResult& m : run.modules) place(m.name);
  for (const RecordLog::Suite& s : log.Suites()) place(s.name);
  for (const std::string& name : order) log.SuiteNamed(name);  // a module without draws gets its empty suite
  std::vector<const RecordLog::Suite*> suites;
  for (const std::string& name : order) suites.push_back(&log.SuiteNamed(name));

  int64_t tests = 0, failures = 0, errors = 0;
  for (const RecordLog::Suite* s : suites) {
    tests += s->cases;
    failures += s->failures;
    errors += s->errors;
  }
  // A verdict of not passed that no case shows (a bank that cannot be opened, a failure that
  // recorded no item) would read as green to CI: it gets a failing case of its own.
  const bool verdict_case = !run.verdict && !run.interrupted && failures == 0 && errors == 0;
  if (verdict_case) {
    ++tests;
    ++failures;
  }
  stream << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attr("name", "vardenix check") +
                Attr("tests", std::to_string(tests)) + Attr("failures", std::to_string(failures)) +
                Attr("errors", std::to_string(errors)) + Attr("time", Seconds(run.elapsed_seconds)) + ">\n";
  for (const RecordLog::Suite* s : suites) {
    stream << "  <testsuite" + Attr("name", s->name) + Attr("tests", std::to_string(s->cases)) +
                  Attr("failures", std::to_string(s->failures)) + Attr("errors", std::to_string(s->errors)) +
                  Attr("skipped", std::to_string(s->skipped)) + Attr("time", Seconds(s->seconds)) + ">\n";
    stream << "    <properties>\n      <property" + Attr("name", "seed") + Attr("value", std::to_string(run.seed)) +
                  "/>\n    </properties>\n";
    log.WriteJUnitCases(*s, stream);
    stream << "  </testsuite>\n";
  }
  if (verdict_case) {
    std::string text = run.err_msg.find_first_not_of(" \t\r\n") == std::string::npos
                           ? std::string("the check did not pass and reported no details")
                           : run.err_msg;
    if (!run.reason.empty()) text = run.reason + "\n" + (run.err_msg.empty() ? std::string() : run.err_msg);
    stream << "  <testsuite" + Attr("name", "verdict") + Attr("tests", "1") + Attr("failures", "1") +
                  Attr("errors", "0") + Attr("skipped", "0") + Attr("time", Seconds(run.elapsed_seconds)) + ">\n" +
                  "    <testcase" + Attr("classname", "vardenix.verdict") + Attr("name", "verdict") +
                  Attr("time", Seconds(run.elapsed_seconds)) + ">\n      <failure" +
                  Attr("message", "not passed: " + FirstLine(text)) + Attr("type", "verdict") + ">" + XmlEscape(text) +
                  "</failure>\n    </testcase>\n  </testsuite>\n";
  }
  stream << "</testsuites>\n";
}

}  // namespace vardenix::cli
