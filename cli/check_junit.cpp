#include <cstdio>
#include <map>

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

std::string JUnitXml(const CheckRun& run) {
  struct Suite {
    std::string name;
    std::vector<const RecordResult*> cases;
    int failures = 0, errors = 0, skipped = 0;
    double seconds = 0;
  };
  std::vector<Suite> suites;
  std::map<std::string, size_t> index;
  const auto suite_of = [&](const std::string& name) -> Suite& {
    const auto [it, added] = index.emplace(name, suites.size());
    if (added) suites.push_back(Suite{name, {}, 0, 0, 0, 0});
    return suites[it->second];
  };
  // Every module gets a suite, also one without draws, so a module left unchecked shows.
  for (const RecordResult& r : run.records) {
    if (r.typical_document) suite_of("typical document");
  }
  for (const ModuleResult& m : run.modules) suite_of(m.name);
  for (const RecordResult& r : run.records) {
    Suite& suite = suite_of(r.typical_document ? std::string("typical document") : r.module);
    suite.cases.push_back(&r);
    suite.seconds += r.seconds;
    if (r.outcome == RecordOutcome::kFailed || r.outcome == RecordOutcome::kRefusedArchive) ++suite.failures;
    if (r.outcome == RecordOutcome::kRunTimeFailure) ++suite.errors;
    if (r.outcome == RecordOutcome::kNotGraded) ++suite.skipped;
  }

  int tests = 0, failures = 0, errors = 0;
  for (const Suite& s : suites) {
    tests += static_cast<int>(s.cases.size());
    failures += s.failures;
    errors += s.errors;
  }
  // A verdict of not passed that no case shows (a bank that cannot be opened, a failure that
  // recorded no item) would read as green to CI: it gets a failing case of its own.
  const bool verdict_case = !run.verdict && !run.interrupted && failures == 0 && errors == 0;
  if (verdict_case) {
    ++tests;
    ++failures;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attr("name", "vardenix check") +
                    Attr("tests", std::to_string(tests)) + Attr("failures", std::to_string(failures)) +
                    Attr("errors", std::to_string(errors)) + Attr("time", Seconds(run.elapsed_seconds)) + ">\n";
  for (const Suite& s : suites) {
    out += "  <testsuite" + Attr("name", s.name) + Attr("tests", std::to_string(s.cases.size())) +
           Attr("failures", std::to_string(s.failures)) + Attr("errors", std::to_string(s.errors)) +
           Attr("skipped", std::to_string(s.skipped)) + Attr("time", Seconds(s.seconds)) + ">\n";
    out += "    <properties>\n      <property" + Attr("name", "seed") + Attr("value", std::to_string(run.seed)) +
           "/>\n    </properties>\n";
    for (const RecordResult* r : s.cases) {
      const std::string name =
          r->typical_document ? std::string("typical document") : r->rec_no + " (draw " + std::to_string(r->draw) + ")";
      out += "    <testcase" + Attr("classname", "vardenix." + s.name) + Attr("name", name) +
             Attr("time", Seconds(r->seconds));
      const std::string reason = OneLineReason(*r);
      switch (r->outcome) {
        case RecordOutcome::kPassed:
          out += "/>\n";
          continue;
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
      out += "    </testcase>\n";
    }
    out += "  </testsuite>\n";
  }
  if (verdict_case) {
    std::string text = run.err_msg.find_first_not_of(" \t\r\n") == std::string::npos
                           ? std::string("the check did not pass and reported no details")
                           : run.err_msg;
    if (!run.reason.empty()) text = run.reason + "\n" + (run.err_msg.empty() ? std::string() : run.err_msg);
    out += "  <testsuite" + Attr("name", "verdict") + Attr("tests", "1") + Attr("failures", "1") +
           Attr("errors", "0") + Attr("skipped", "0") + Attr("time", Seconds(run.elapsed_seconds)) + ">\n" +
           "    <testcase" + Attr("classname", "vardenix.verdict") + Attr("name", "verdict") +
           Attr("time", Seconds(run.elapsed_seconds)) + ">\n      <failure" +
           Attr("message", "not passed: " + FirstLine(text)) + Attr("type", "verdict") + ">" + XmlEscape(text) +
           "</failure>\n    </testcase>\n  </testsuite>\n";
  }
  out += "</testsuites>\n";
  return out;
}

}  // namespace vardenix::cli
