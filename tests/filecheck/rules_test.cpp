// The rule language of Vardenix.FileCheck: what the parser reads, and what it refuses with a line number.
#include "scorers/filecheck/rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vardenix::filecheck {
namespace {

using Parts = std::vector<std::string>;

TEST(FileCheckRules, ReadsEachKindWithItsPathAndText) {
  const struct {
    const char* name;
    std::string text;
    double points;
    RuleKind kind;
    std::string path;
    Parts parts;
    std::string look_for;
  } rows[] = {
      {"exists", "2 exists a.txt", 2, RuleKind::kExists, "a.txt", {"a.txt"}, ""},
      {"absent", "1 absent tmp/x.bak", 1, RuleKind::kAbsent, "tmp/x.bak", {"tmp", "x.bak"}, ""},
      {"folder", "0.5 folder docs", 0.5, RuleKind::kFolder, "docs", {"docs"}, ""},
      {"contains keeps inner blanks", "3 contains a.txt  hello   world  ", 3, RuleKind::kContains, "a.txt",
       {"a.txt"}, "hello   world"},
      {"kind in any case", "1 EXISTS a.txt", 1, RuleKind::kExists, "a.txt", {"a.txt"}, ""},
      {"backslashes", "1 exists docs\\sub\\a.txt", 1, RuleKind::kExists, "docs\\sub\\a.txt",
       {"docs", "sub", "a.txt"}, ""},
      {"mixed separators, empty and dot parts", "1 exists ./docs//sub\\.\\a.txt", 1, RuleKind::kExists,
       "./docs//sub\\.\\a.txt", {"docs", "sub", "a.txt"}, ""},
      {"quoted path with spaces", "1 contains \"my docs/a b.txt\" 你好 世界", 1, RuleKind::kContains,
       "my docs/a b.txt", {"my docs", "a b.txt"}, "你好 世界"},
      {"Chinese names", "4 folder 考生文件夹\\报告", 4, RuleKind::kFolder, "考生文件夹\\报告",
       {"考生文件夹", "报告"}, ""},
      {"tabs separate", "1\texists\ta.txt\t", 1, RuleKind::kExists, "a.txt", {"a.txt"}, ""},
      {"dots inside a name", "1 exists a..b", 1, RuleKind::kExists, "a..b", {"a..b"}, ""},
  };
  for (const auto& row : rows) {
    const auto rules = ParseRules(row.text);
    ASSERT_EQ(rules.size(), 1u) << row.name;
    const Rule& r = rules[0];
    EXPECT_EQ(r.line, 1) << row.name;
    EXPECT_EQ(r.points, row.points) << row.name;
    EXPECT_EQ(r.kind, row.kind) << row.name;
    EXPECT_EQ(r.path, row.path) << row.name;
    EXPECT_EQ(r.parts, row.parts) << row.name;
    EXPECT_EQ(r.text, row.look_for) << row.name;
  }
}

TEST(FileCheckRules, SkipsBlanksAndCommentsAndCountsLinesOverEveryLineEnd) {
  const std::string text =
      "\xEF\xBB\xBF# a comment\r\n"
      "\r\n"
      "   \t\n"
      "1 exists a.txt\r"  // a lone CR ends a line too
      "  # 1 exists commented.txt\n"
      "  2 folder b  \r\n";
  const auto rules = ParseRules(text);
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].line, 4);
  EXPECT_EQ(rules[0].source, "1 exists a.txt");
  EXPECT_EQ(rules[1].line, 6);
  EXPECT_EQ(rules[1].source, "2 folder b");
  EXPECT_TRUE(ParseRules("").empty());
  EXPECT_TRUE(ParseRules("# nothing\n\n").empty());
}

TEST(FileCheckRules, RefusesMalformedLinesNamingTheLine) {
  const struct {
    const char* name;
    std::string text;
    int line;
    std::string reason_part;
  } rows[] = {
      {"parent part", "1 exists a.txt\n1 exists ../outside.txt", 2, "leaves the graded folder"},
      {"parent part in the middle", "1 exists docs\\..\\..\\etc\\passwd", 1, "leaves the graded folder"},
      {"quoted parent part", "1 absent \"a/../../b\"", 1, "leaves the graded folder"},
      {"absolute", "# c\n1 exists /etc/passwd", 2, "absolute"},
      {"absolute with a backslash", "1 exists \\etc\\passwd", 1, "absolute"},
      {"drive letter", "1 exists C:\\Windows\\win.ini", 1, "drive"},
      {"drive-relative", "1 exists c:win.ini", 1, "drive"},
      {"only dots", "1 folder ./.", 1, "names no file or folder"},
      {"empty quoted path", "1 exists \"\"", 1, "empty"},
      {"no points", "exists a.txt", 1, "points"},
      {"negative points", "-1 exists a.txt", 1, "points"},
      {"zero points", "0 exists a.txt", 1, "more than 0"},
      {"too many points", "10001 exists a.txt", 1, "at most 10000"},
      {"exponent", "1e3 exists a.txt", 1, "points"},
      {"two points", "1.2.3 exists a.txt", 1, "points"},
      {"unknown kind", "1 exist a.txt", 1, "unknown rule kind \"exist\""},
      {"no kind", "5", 1, "no kind"},
      {"no path", "1 exists   ", 1, "no path"},
      {"unterminated quote", "1 exists \"a b.txt", 1, "closing quote"},
      {"quote glued to text", "1 contains \"a.txt\"hello", 1, "followed by a blank"},
      {"quote inside a path", "1 exists a\"b", 1, "whole path"},
      {"unquoted path with a space", "1 exists my docs/a.txt", 1, "unexpected text after the path"},
      {"contains without text", "1 contains a.txt  ", 1, "text to look for"},
      {"invalid UTF-8", "1 exists ok\n1 exists \xB1\xA8\xB8\xE6.txt", 2, "not valid UTF-8"},
      {"overlong UTF-8", "1 exists \xC0\xAF", 1, "not valid UTF-8"},
      {"NUL", std::string("1 exists a\0b", 12), 1, "control character"},
      {"later line", "1 exists a\n2 folder b\n\n# x\n3 contains c", 5, "text to look for"},
  };
  for (const auto& row : rows) {
    try {
      ParseRules(row.text);
      ADD_FAILURE() << row.name << ": parsed";
    } catch (const RuleError& e) {
      EXPECT_EQ(e.line(), row.line) << row.name;
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("rule line " + std::to_string(row.line) + ": ", 0), 0u) << row.name << ": " << what;
      EXPECT_NE(what.find(row.reason_part), std::string::npos) << row.name << ": " << what;
    }
  }
}

}  // namespace
}  // namespace vardenix::filecheck
