// Archives made by the zip writers a user has (Info-ZIP zip, 7-Zip, bsdtar, Python's zipfile), each
// extracted by the archive control and by bsdtar: the same files with the same bytes, and the names
// as the user wrote them, whatever encoding the writer chose. Where the control refuses an archive
// by policy, the row names the policy. scripts/setup installs every tool used here; a tool that is not
// installed fails its rows (or the test, for bsdtar and zip), saying so, rather than passing unseen.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_control.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"

namespace vardenix {
namespace {

namespace result = archive_result;

int16_t Extract(const std::string& zip_path, const std::string& folder) {
  DispatchObject& control = SystemArchiveControl();
  control.Put(archive_dispid::kZipFilename, Variant::Text(zip_path));
  control.Put(archive_dispid::kOption16, Variant::Bool(false));
  control.Put(archive_dispid::kOption11, Variant::I2(2));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text(folder));
  return ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)}));
}

std::string LastFailure() { return ToText(SystemArchiveControl().Get(archive_dispid::kLastFailureReason)); }

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every path under `root` with what it is: "folder", "link", or "file " and its bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& rel : fakes::ListTree(root)) {
    struct stat st;
    const std::string path = root + "/" + rel;
    if (::lstat(path.c_str(), &st) != 0) continue;
    tree[rel] = S_ISDIR(st.st_mode) ? "folder" : S_ISLNK(st.st_mode) ? "link" : "file " + ReadText(path);
  }
  return tree;
}

bool Installed(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The folder a user zips: Chinese names, nested and empty folders, text and binary files.
void MakeSource(const std::string& src) {
  fakes::MakeDirs(src + "/考生/子目录");
  fakes::MakeDirs(src + "/考生/空文件夹");
  fakes::WriteFileText(src + "/考生/报告.txt", "合计,175\n");
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7 + i / 256) & 0xff);
  fakes::WriteFileText(src + "/考生/子目录/数据.bin", binary);
  fakes::WriteFileText(src + "/readme.txt", std::string(20000, 'r'));
}

const char* const kPython = R"(
import os, sys, zipfile
out, mode = sys.argv[1], sys.argv[2]
target = sys.stdout.buffer if out == '-' else out
with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:
    if mode == 'comment':
        z.comment = 'answer set'.encode()
    for root, dirs, files in sorted(os.walk('.')):
        for d in sorted(dirs):
            z.write(os.path.join(root, d)[2:])
        for f in sorted(files):
            path = os.path.join(root, f)[2:]
            if mode == 'zip64':
                with open(path, 'rb') as src, z.open(path, 'w', force_zip64=True) as dst:
                    dst.write(src.read())
            else:
                z.write(path)
)";

TEST(ZipTools, EveryWriterExtractsLikeBsdtarWithTheNamesAsWritten) {
  ASSERT_TRUE(Installed("bsdtar")) << "bsdtar is not installed (scripts/setup installs it)";
  fakes::TempDir dir;
  const std::string src = dir / "src";
  MakeSource(src);
  const std::map<std::string, std::string> source = Tree(src);
  fakes::WriteFileText(dir / "make.py", kPython);
  const std::string files = "考生 readme.txt";
  const std::string py = "python3 " + (dir / "make.py");

  struct Row {
    const char* name;
    const char* tool;
    std::string command;  // run in the source folder; writes OUT
    std::string padding_before = "";
    std::string padding_after = "";
  };
  const Row rows[] = {
      {"Info-ZIP zip, LANG=C", "zip", "LANG=C LC_ALL=C zip -qr OUT " + files},
      {"Info-ZIP zip, LANG=C.UTF-8", "zip", "LANG=C.UTF-8 LC_ALL=C.UTF-8 zip -qr OUT " + files},
      {"Info-ZIP zip, zip64", "zip", "LC_ALL=C.UTF-8 zip -qr -fz OUT " + files},
      {"Info-ZIP zip, stored", "zip", "LC_ALL=C.UTF-8 zip -qr0 OUT " + files},
      {"Info-ZIP zip to a pipe (data descriptors)", "zip", "LC_ALL=C.UTF-8 zip -qr - " + files + " | cat > OUT"},
      {"Info-ZIP zip, with a comment", "zip", "echo 'answer set' | LC_ALL=C.UTF-8 zip -qrz OUT " + files},
      {"Info-ZIP zip, padding before and after", "zip", "LC_ALL=C zip -qr OUT " + files, std::string(100, 'p'),
       std::string(20000, '\0')},
      {"7-Zip", "7z", "LC_ALL=C.UTF-8 7z a -tzip -bd -bso0 OUT " + files},
      {"7-Zip, stored", "7z", "LC_ALL=C.UTF-8 7z a -tzip -mx0 -bd -bso0 OUT " + files},
      {"bsdtar", "bsdtar", "LC_ALL=C.UTF-8 bsdtar --format zip -cf OUT " + files},
      {"bsdtar, stored", "bsdtar", "LC_ALL=C.UTF-8 bsdtar --format zip --options zip:compression=store -cf OUT " + files},
      {"bsdtar, zip64", "bsdtar", "LC_ALL=C.UTF-8 bsdtar --format zip --options zip:zip64 -cf OUT " + files},
      {"Python zipfile", "python3", py + " OUT plain"},
      {"Python zipfile, comment", "python3", py + " OUT comment"},
      {"Python zipfile, zip64", "python3", py + " OUT zip64"},
      {"Python zipfile to a pipe (data descriptors)", "python3", py + " - plain | cat > OUT"},
  };
  int index = 0;
  for (const Row& row : rows) {
    if (!Installed(row.tool)) {
      ADD_FAILURE() << row.name << ": " << row.tool << " is not installed (scripts/setup installs it)";
      continue;
    }
    const std::string zip = dir / ("archive" + std::to_string(++index) + ".zip");
    std::string command = row.command;
    command.replace(command.find("OUT"), 3, zip);
    ASSERT_EQ(std::system(("cd '" + src + "' && ( " + command + " ) >/dev/null").c_str()), 0) << row.name;
    if (!row.padding_before.empty() || !row.padding_after.empty()) {
      std::vector<uint8_t> bytes(row.padding_before.begin(), row.padding_before.end());
      const std::vector<uint8_t> body = fakes::ReadFileBytes(zip);
      bytes.insert(bytes.end(), body.begin(), body.end());
      bytes.insert(bytes.end(), row.padding_after.begin(), row.padding_after.end());
      fakes::WriteFileBytes(zip, bytes);
    }
    const std::string ours = dir / ("ours" + std::to_string(index));
    const std::string theirs = dir / ("bsdtar" + std::to_string(index));
    fakes::MakeDirs(ours);
    fakes::MakeDirs(theirs);
    ASSERT_EQ(Extract(zip, ours), result::kSuccess) << row.name << ": " << LastFailure();
    EXPECT_EQ(Tree(ours), source) << row.name;
    if (row.padding_before.empty()) {  // bsdtar's seekable reader does not look past a prefix
      ASSERT_EQ(std::system(("LC_ALL=C.UTF-8 bsdtar -xf '" + zip + "' -C '" + theirs + "'").c_str()), 0) << row.name;
      EXPECT_EQ(Tree(ours), Tree(theirs)) << row.name;
    }
  }
}

// CP936 names as Chinese Windows writes them (raw GBK bytes, no flag, no extra field), beside a
// UTF-8 name without the flag: both arrive as the UTF-8 names the user typed.
TEST(ZipTools, RawGbkNamesFromChineseWindows) {
  fakes::TempDir dir;
  const std::string zip = dir / "a.zip";
  fakes::WriteFileBytes(zip, fakes::BuildZip({
                                 {"\xbf\xbc\xc9\xfa/\xb1\xa8\xb8\xe6.txt", "gbk"},  // 考生/报告.txt
                                 {"说明.txt", "utf-8 without the flag"},
                             }));
  fakes::MakeDirs(dir / "out");
  ASSERT_EQ(Extract(zip, dir / "out"), result::kSuccess) << LastFailure();
  EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, std::string>{{"考生", "folder"},
                                                                   {"考生/报告.txt", "file gbk"},
                                                                   {"说明.txt", "file utf-8 without the flag"}}));
}

// What the control refuses by policy although bsdtar extracts it.
TEST(ZipTools, PolicyRefusalsOfRealArchives) {
  ASSERT_TRUE(Installed("zip")) << "zip is not installed (scripts/setup installs it)";
  ASSERT_TRUE(Installed("bsdtar")) << "bsdtar is not installed (scripts/setup installs it)";
  fakes::TempDir dir;
  const std::string src = dir / "src";
  MakeSource(src);
  ASSERT_EQ(::symlink("报告.txt", (src + "/考生/link.txt").c_str()), 0);
  struct Row {
    const char* policy;
    std::string command;
    int16_t code;
  };
  const Row rows[] = {
      {"links are not extracted", "LC_ALL=C.UTF-8 zip -qry OUT 考生", result::kUnsupportedEntry},
      {"links are not extracted (bsdtar)", "LC_ALL=C.UTF-8 bsdtar --format zip -cf OUT 考生", result::kUnsupportedEntry},
      {"encrypted entries are not extracted", "LC_ALL=C.UTF-8 zip -qr -P secret OUT readme.txt", result::kEncrypted},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string zip = dir / ("archive" + std::to_string(++index) + ".zip");
    std::string command = row.command;
    command.replace(command.find("OUT"), 3, zip);
    ASSERT_EQ(std::system(("cd '" + src + "' && ( " + command + " ) >/dev/null").c_str()), 0) << row.policy;
    const std::string out = dir / ("out" + std::to_string(index));
    fakes::MakeDirs(out);
    EXPECT_EQ(Extract(zip, out), row.code) << row.policy << ": " << LastFailure();
    EXPECT_TRUE(fakes::ListTree(out).empty()) << row.policy;
  }
}

}  // namespace
}  // namespace vardenix
