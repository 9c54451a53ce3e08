// The authoring tools that the command builds on: rule-file decoding (with the UTF-8 check under it)
// and zipping a folder for a question bank.
#include <unistd.h>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "authoring/text_decoding.h"
#include "authoring/zip_writer.h"
#include "archive/archive_control.h"
#include "tests/support/fakes/temp_dir.h"
#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using fakes::TempDir;

TEST(TextEncoding, DecodesUtf8AndGb18030AndRefusesNeither) {
  struct Row {
    const char* name;
    std::string bytes;
    std::string text;  // empty with throws
    bool throws;
  };
  const Row rows[] = {
      {"ASCII", "1 exists a.txt", "1 exists a.txt", false},
      {"BOM dropped", "\xEF\xBB\xBF" "abc", "abc", false},
      {"UTF-8 kept", "\xE6\x96\x87\xE4\xBB\xB6", "\xE6\x96\x87\xE4\xBB\xB6", false},            // 文件
      {"GB18030 two-byte", "\xCE\xC4\xBC\xFE", "\xE6\x96\x87\xE4\xBB\xB6", false},              // 文件
      {"GB18030 four-byte", "\x81\x30\x81\x30", "\xC2\x80", false},                             // U+0080
      {"GB18030 cut short", "ab\x81", "", true},
      {"GB18030 lead byte without its trail", "\x81\x20", "", true},
      {"0xFF is neither", "ab\xFF", "", true},
  };
  for (const Row& row : rows) {
    if (row.throws) {
      try {
        DecodeTextFile(row.bytes, "rule.txt");
        ADD_FAILURE() << row.name << ": no error";
      } catch (const RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("rule.txt"), std::string::npos) << row.name << ": " << e.what();
      }
    } else {
      EXPECT_EQ(DecodeTextFile(row.bytes, "rule.txt"), row.text) << row.name;
    }
  }
}

TEST(TextEncoding, Utf8ValidityFollowsTheStandard) {
  struct Row {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Row rows[] = {
      {"empty", "", true},
      {"four-byte", "\xF0\x9F\x98\x80", true},
      {"overlong two-byte", "\xC1\xBF", false},
      {"overlong three-byte", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lone continuation", "\x80", false},
      {"cut short", "\xE6\x96", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsValidUtf8(row.bytes), row.valid) << row.name;
}

TEST(ZipFolder, SameTreeGivesTheSameBytes) {
  TempDir dir;
  fakes::MakeDirs(dir / "tree/Docs/空");
  fakes::WriteFileText(dir / "tree/Docs/报告.txt", "text\n");
  fakes::WriteFileText(dir / "tree/a.txt", "a");
  const std::vector<uint8_t> first = ZipFolder(dir / "tree");
  ASSERT_GT(first.size(), 22u);
  EXPECT_EQ(first[0], 'P');
  EXPECT_EQ(first[1], 'K');
  // Other times and modes change nothing: the archive's are fixed.
  const utimbuf long_ago{1000000000, 1000000000};
  ASSERT_EQ(::utime((dir / "tree/a.txt").c_str(), &long_ago), 0);
  ASSERT_EQ(::chmod((dir / "tree/a.txt").c_str(), 0600), 0);
  EXPECT_EQ(ZipFolder(dir / "tree"), first);
  // The UTF-8 names are stored as they are (an empty folder is an entry of its own).
  const std::string bytes(first.begin(), first.end());
  EXPECT_NE(bytes.find("Docs/\xE7\xA9\xBA/"), std::string::npos);
  EXPECT_NE(bytes.find("Docs/\xE6\x8A\xA5\xE5\x91\x8A.txt"), std::string::npos);
}

// Every path under `root` with what it is: "folder", or "file " and its bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& rel : fakes::ListTree(root)) {
    struct stat st;
    const std::string path = root + "/" + rel;
    if (::lstat(path.c_str(), &st) != 0) continue;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (S_ISREG(st.st_mode)) bytes << in.rdbuf();
    tree[rel] = S_ISDIR(st.st_mode) ? "folder" : S_ISREG(st.st_mode) ? "file " + bytes.str() : "other";
  }
  return tree;
}

// What the bank tool zips is what a check extracts: the zip goes through the real archive control
// and comes out as the same tree.
TEST(ZipFolder, ExtractsThroughTheArchiveControlAsTheSameTree) {
  TempDir dir;
  fakes::MakeDirs(dir / "tree/考生/图片/空");
  fakes::MakeDirs(dir / "tree/empty");
  fakes::WriteFileText(dir / "tree/考生/报告.txt", "合计,175\r\n");
  std::string binary;
  for (int i = 0; i < 70000; ++i) binary += static_cast<char>((i * 131 + (i >> 9)) & 0xff);
  fakes::WriteFileText(dir / "tree/考生/图片/数据.bin", binary);
  fakes::WriteFileText(dir / "tree/a.txt", "");
  const std::vector<uint8_t> zip = ZipFolder(dir / "tree");
  fakes::WriteFileBytes(dir / "answer.zip", zip);
  fakes::MakeDirs(dir / "out");

  DispatchObject& control = SystemArchiveControl();
  control.Put(archive_dispid::kZipFilename, Variant::Text(dir / "answer.zip"));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text(dir / "out"));
  ASSERT_EQ(ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)})), archive_result::kSuccess)
      << ToText(control.Get(archive_dispid::kLastFailureReason));
  EXPECT_EQ(Tree(dir / "out"), Tree(dir / "tree"));
  EXPECT_EQ(Tree(dir / "out").size(), 7u);
}

// The command accepts a link to a folder as --archive-dir; the zipper refused it as "not a folder"
// unless the name ended in '/'.
TEST(ZipFolder, FolderNamedThroughALinkIsZippedAsTheFolder) {
  TempDir dir;
  fakes::MakeDirs(dir / "tree/Docs");
  fakes::WriteFileText(dir / "tree/Docs/a.txt", "a");
  ASSERT_EQ(::symlink((dir / "tree").c_str(), (dir / "link").c_str()), 0);
  const std::vector<uint8_t> direct = ZipFolder(dir / "tree");
  for (const std::string& name : {dir / "link", dir / "link/"}) EXPECT_EQ(ZipFolder(name), direct) << name;
}

TEST(ZipFolder, RefusesWhatAnArchiveMustNotHold) {
  TempDir dir;
  fakes::MakeDirs(dir / "tree");
  ASSERT_EQ(::symlink("/etc/passwd", (dir / "tree/link").c_str()), 0);
  struct Row {
    const char* name;
    std::string path;
    const char* message;
  };
  const Row rows[] = {
      {"a symlink inside", dir / "tree", "link"},
      {"no folder", dir / "missing", "missing"},
  };
  for (const Row& row : rows) {
    try {
      ZipFolder(row.path);
      ADD_FAILURE() << row.name << ": no error";
    } catch (const RuntimeError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << row.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace vardenix
