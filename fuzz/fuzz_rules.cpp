// Hostile rule texts through Vardenix.FileCheck's rule parser. Every input either parses into rules
// that the grader can use safely (relative parts only, nothing that climbs out of the folder) or
// fails with a RuleError naming a line of the input. Anything else aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scorers/filecheck/rules.h"

namespace {

using vardenix::filecheck::Rule;
using vardenix::filecheck::RuleKind;

void Require(bool condition) {
  if (!condition) std::abort();
}

// Line ends as the parser counts them: CR LF, LF and a lone CR each end one line.
int LineCount(std::string_view text) {
  int lines = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
  }
  return lines;
}

void CheckRule(const Rule& rule, int previous_line, int lines) {
  Require(rule.line > previous_line && rule.line <= lines);
  Require(rule.points > 0 && rule.points <= vardenix::filecheck::kMaxPoints);
  Require(!rule.parts.empty());
  for (const std::string& part : rule.parts) {
    Require(!part.empty() && part != "." && part != "..");
    Require(part.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos);
  }
  Require(rule.path.find('\0') == std::string::npos && !rule.path.empty());
  Require((rule.kind == RuleKind::kContains) == !rule.text.empty());
  Require(rule.source.find_first_of("\r\n") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int lines = LineCount(text);
  try {
    int previous = 0;
    for (const Rule& rule : vardenix::filecheck::ParseRules(text)) {
      CheckRule(rule, previous, lines);
      previous = rule.line;
    }
  } catch (const vardenix::filecheck::RuleError& e) {
    Require(e.line() >= 1 && e.line() <= lines);
    const std::string prefix = "rule line " + std::to_string(e.line()) + ": ";
    Require(std::string_view(e.what()).substr(0, prefix.size()) == prefix);
  }
  return 0;
}
