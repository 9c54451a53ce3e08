// Grading with Vardenix.FileCheck's rules against a small real folder: each kind met and unmet,
// quoted, backslashed and Chinese paths, links that point outside, the score and both reports.
#include "scorers/filecheck/grader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/fakes/report_reader.h"
#include "tests/support/fakes/temp_dir.h"

namespace vardenix::filecheck {
namespace {

using fakes::TempDir;

// A parent folder holding "exam" (the folder graded) and "outside" (a secret the rules must not see):
//   exam/报告.txt            "期末成绩：优秀"
//   exam/my docs/a b.txt     "hello world"
//   exam/docs/readme.txt     "version 2"
//   exam/docs/sub/
//   exam/link.txt  -> ../outside/secret.txt
//   exam/linkdir   -> ../outside
//   exam/pipe               a fifo
struct ExamFolder {
  TempDir parent;
  std::string exam = parent / "exam";

  ExamFolder() {
    fakes::MakeDirs(parent / "outside");
    fakes::WriteFileText(parent / "outside/secret.txt", "secret");
    fakes::MakeDirs(exam + "/my docs");
    fakes::MakeDirs(exam + "/docs/sub");
    fakes::WriteFileText(exam + "/报告.txt", "期末成绩：优秀\r\n");
    fakes::WriteFileText(exam + "/my docs/a b.txt", "hello world");
    fakes::WriteFileText(exam + "/docs/readme.txt", "version 2");
    if (::symlink("../outside/secret.txt", (exam + "/link.txt").c_str()) != 0 ||
        ::symlink("../outside", (exam + "/linkdir").c_str()) != 0 || ::mkfifo((exam + "/pipe").c_str(), 0600) != 0) {
      throw std::runtime_error("cannot build the exam folder");
    }
  }
};

Grading GradeText(const std::string& folder, const std::string& text, double total = 100) {
  return Grade(folder, ParseRules(text), total);
}

TEST(FileCheckGrader, ChecksEachRuleAgainstTheFolder) {
  ExamFolder f;
  const struct {
    const char* name;
    std::string rule;
    bool met;
    std::string info;  // the sentence of an unmet rule
  } rows[] = {
      {"file there", "1 exists 报告.txt", true, ""},
      {"Chinese content", "1 contains 报告.txt 成绩：优秀", true, ""},
      {"quoted path with spaces", "1 contains \"my docs/a b.txt\" hello world", true, ""},
      {"backslashes", "1 exists \"my docs\\a b.txt\"", true, ""},
      {"folder there", "1 folder docs\\sub", true, ""},
      {"nothing there", "1 absent docs/old.txt", true, ""},
      {"nothing there, nor its folder", "1 absent gone/old.txt", true, ""},
      {"file missing", "1 exists 缺失.txt", false, "缺少文件 缺失.txt"},
      {"names compare exactly", "1 exists 报告.TXT", false, "缺少文件 报告.TXT"},
      {"a file on the way", "1 exists docs/readme.txt/x", false, "缺少文件 docs/readme.txt/x"},
      {"a folder, not a file", "1 exists docs", false, "docs 应是文件，却是文件夹"},
      {"a file, not a folder", "1 folder 报告.txt", false, "报告.txt 应是文件夹，却是文件"},
      {"folder missing", "1 folder docs/other", false, "缺少文件夹 docs/other"},
      {"something there", "1 absent docs/readme.txt", false, "docs/readme.txt 不应存在，却有文件"},
      {"text not in the file", "1 contains 报告.txt 不及格", false, "文件 报告.txt 中没有“不及格”"},
      {"contains on a folder", "1 contains docs x", false, "docs 应是文件，却是文件夹"},
      {"contains on a missing file", "1 contains none.txt x", false, "缺少文件 none.txt"},
      {"a link is not followed", "1 exists link.txt", false, "link.txt 应是文件，却是其他类型的项（如符号链接）"},
      {"nor read through", "1 contains link.txt secret", false, "link.txt 应是文件，却是其他类型的项（如符号链接）"},
      {"nor walked through", "1 exists linkdir/secret.txt", false, "缺少文件 linkdir/secret.txt"},
      {"a link is something", "1 absent link.txt", false, "link.txt 不应存在，却有其他类型的项（如符号链接）"},
      {"a fifo is not a file", "1 contains pipe x", false, "pipe 应是文件，却是其他类型的项（如符号链接）"},
  };
  for (const auto& row : rows) {
    const Grading g = GradeText(f.exam, row.rule);
    EXPECT_EQ(g.score, row.met ? 100.0 : 0.0) << row.name;
    if (row.met) {
      EXPECT_EQ(g.error_text, "") << row.name;
      EXPECT_EQ(g.error_xml, "") << row.name;
    } else {
      EXPECT_EQ(g.error_text, "第1行（1分）：" + row.info + "\r\n") << row.name;
      EXPECT_EQ(fakes::ReadReport(g.error_xml).Field("RuleErrInfo"), std::vector<std::string>{row.info})
          << row.name;
    }
  }
}

TEST(FileCheckGrader, ScoresEarnedPointsOnTheHostsScale) {
  ExamFolder f;
  const struct {
    const char* name;
    std::string rules;
    double total;
    double score;
  } rows[] = {
      {"all met is exactly the full mark", "0.1 exists 报告.txt\n0.2 folder docs\n0.7 absent x", 100, 100},
      {"weighted by points", "2 exists 报告.txt\n1 exists missing.txt", 100, 100.0 * 2 / 3},
      {"another scale", "1 exists 报告.txt\n3 folder missing", 20, 5},
      {"nothing met", "1 exists a\n1 exists b", 100, 0},
  };
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(GradeText(f.exam, row.rules, row.total).score, row.score) << row.name;
  }
  // Full marks survive the host's conversion to single precision unchanged.
  EXPECT_EQ(static_cast<float>(GradeText(f.exam, "0.1 exists 报告.txt\n0.2 folder docs", 100).score), 100.0f);
}

TEST(FileCheckGrader, ATinyShortfallNeverRoundsToFullMarks) {
  ExamFolder f;
  std::string rules;
  for (int i = 0; i < 10; ++i) rules += "10000 exists 报告.txt\n";
  rules += "0.0001 exists missing.txt\n";
  const double score = GradeText(f.exam, rules).score;
  EXPECT_LT(static_cast<float>(score), 100.0f);
  EXPECT_GT(score, 99.99);
}

TEST(FileCheckGrader, ReportsOneLineAndOneRuleErrPerUnmetRule) {
  ExamFolder f;
  const Grading g = GradeText(f.exam,
                              "# the answer\n"
                              "2 exists 报告.txt\n"
                              "  3 contains \"my docs/a b.txt\" goodbye  \r\n"
                              "1.5 absent docs\n");
  EXPECT_EQ(g.error_text,
            "第3行（3分）：文件 my docs/a b.txt 中没有“goodbye”\r\n"
            "第4行（1.5分）：docs 不应存在，却有文件夹\r\n");
  const auto report = fakes::ReadReport(g.error_xml);
  ASSERT_TRUE(report.parses);
  EXPECT_EQ(report.root, "RuleErrs");
  using Texts = std::vector<std::string>;
  EXPECT_EQ(report.Field("Rule"), (Texts{"3 contains \"my docs/a b.txt\" goodbye", "1.5 absent docs"}));
  EXPECT_EQ(report.Field("Operation"), (Texts{"文件内容", "文件不存在"}));
  EXPECT_EQ(report.Field("NeedSet"), (Texts{"含有“goodbye”", "没有 docs"}));
  EXPECT_EQ(report.Field("UserSet"), (Texts{"不含", "文件夹"}));
}

TEST(FileCheckGrader, FindsTextAcrossTheBlocksOfALargeFile) {
  TempDir dir;
  // The grader reads 64 KiB at a time; put the text across the first boundary and at the very end.
  std::string content(200 * 1024, '.');
  content.replace(64 * 1024 - 3, 6, "needle");
  content.replace(content.size() - 5, 5, "尾巴");
  content.resize(content.size() - 5 + std::string("尾巴").size());
  fakes::WriteFileText(dir / "big.txt", content);
  EXPECT_EQ(GradeText(dir.path(), "1 contains big.txt needle").score, 100);
  EXPECT_EQ(GradeText(dir.path(), "1 contains big.txt 尾巴").score, 100);
  EXPECT_EQ(GradeText(dir.path(), "1 contains big.txt .needle.").score, 100);
  EXPECT_EQ(GradeText(dir.path(), "1 contains big.txt xneedle").score, 0);
  EXPECT_EQ(GradeText(dir.path(), "1 contains big.txt needles").score, 0);
}

TEST(FileCheckGrader, FailsWhenThereIsNothingToGradeOrNoFolder) {
  TempDir dir;
  const struct {
    const char* name;
    std::string folder;
    std::string rules;
    std::string message_part;
  } rows[] = {
      {"no rule", dir.path(), "# only a comment\n", "holds no rule"},
      {"no folder", dir / "missing", "1 exists a", dir / "missing"},
      {"a file, not a folder", dir / "f.txt", "1 exists a", "Not a directory"},
  };
  fakes::WriteFileText(dir / "f.txt", "");
  for (const auto& row : rows) {
    try {
      GradeText(row.folder, row.rules);
      ADD_FAILURE() << row.name << ": graded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(row.message_part), std::string::npos) << row.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace vardenix::filecheck
