// The rule language of Vardenix.FileCheck: what a rule text says, and its parser.
//
// A rule text holds one rule per line; blank lines and lines whose first non-blank character is
// '#' are ignored, and a UTF-8 byte-order mark at the start is dropped. Lines end in LF, CR LF or CR.
//
//   <points> exists <path>           a regular file is at <path>
//   <points> absent <path>           nothing at all is at <path>
//   <points> folder <path>           a folder is at <path>
//   <points> contains <path> <text>  a regular file is at <path> and its bytes contain <text>
//
// <points> is a positive decimal number ("2", "0.5", at most 10000). The kind is matched without
// regard to ASCII case. <path> is relative to the folder being graded, its parts separated by '/' or
// '\'; it is written in double quotes when it holds spaces or tabs ("my docs/a b.txt"). A path may
// not leave the folder: an absolute path, a drive letter ("C:") or a ".." part is an error. Empty and
// "." parts are dropped. <text> is the rest of the line after the path, without the blanks around it.
// A line may hold any UTF-8 text but no NUL and no other control character except tab.
//
// Pure functions on strings: no file system, no state, safe from any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vardenix::filecheck {

enum class RuleKind { kExists, kAbsent, kFolder, kContains };

struct Rule {
  int line = 0;                    // where the rule stands in the text, from 1
  std::string source;              // the line as written, without the blanks around it
  double points = 0;               // what the rule is worth, > 0
  RuleKind kind = RuleKind::kExists;
  std::string path;                // the path as written, without its quotes (for messages)
  std::vector<std::string> parts;  // the path's parts, in order; never empty, never "." or ".."
  std::string text;                // kContains: the text looked for; otherwise empty
};

// A rule text that cannot be read. what() is "rule line N: <reason>".
class RuleError : public std::runtime_error {
 public:
  RuleError(int line, const std::string& reason);
  int line() const { return line_; }

 private:
  int line_;
};

// The largest number of points one rule may be worth.
inline constexpr double kMaxPoints = 10000;

// The rules of `text`, in the order written; empty when the text holds no rule (only blanks and
// comments). Throws RuleError naming the first line that cannot be read.
std::vector<Rule> ParseRules(std::string_view text);

}  // namespace vardenix::filecheck
