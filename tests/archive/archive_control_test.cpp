// The archive control on libarchive, through its dispatch ids, with real zip archives in real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_control.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

namespace result = archive_result;
using fakes::BuildZip;
using fakes::ZipEntry;
using fakes::ZipEntryType;

std::string Repeat(const std::string& part, size_t times) {
  std::string out;
  out.reserve(part.size() * times);
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}
// `parts` folder names of `length` bytes each, ending in a file name.
std::string LongName(size_t parts, size_t length) { return Repeat(std::string(length, 'p') + "/", parts) + "f"; }

// Drives the control the way the scoring run does.
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
std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

mode_t Mode(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

// Everything under `root`: each path with its type, and for files their mode and content, for
// symlinks their target. Two snapshots are equal only when nothing was created, removed or changed.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const std::string& rel : fakes::ListTree(root)) {
    const std::string path = root + "/" + rel;
    const mode_t mode = Mode(path);
    if (S_ISLNK(mode)) {
      char target[4096];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
      tree[rel] = "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(mode)) {
      tree[rel] = "folder";
    } else {
      tree[rel] = "file " + std::to_string(mode & 07777) + " " + ReadText(path);
    }
  }
  return tree;
}

// A parent folder holding the working folder "work" and canary files around it.
struct Sandbox {
  fakes::TempDir root;
  std::string work = root / "work";
  std::string zip = work + "/ChkPing.ZIP";
  Sandbox() {
    fakes::MakeDirs(work);
    fakes::MakeDirs(root / "outside");
    fakes::WriteFileText(root / "canary.txt", "canary");
    fakes::WriteFileText(root / "outside/canary.txt", "canary");
    fakes::WriteFileText(work + "/earlier.txt", "earlier");
  }
  void Stage(const std::vector<uint8_t>& bytes) const { fakes::WriteFileBytes(zip, bytes); }
};

TEST(ArchiveControl, RefusesHostileArchivesWithoutTouchingAnything) {
  struct Row {
    const char* name;
    std::function<std::vector<uint8_t>(const Sandbox&)> archive;
    int16_t code;
  };
  const std::string bomb(8 << 20, '\0');
  const std::string big_bomb(65 << 20, '\0');  // past the 64 MiB below which no ratio is refused
  const std::string incompressible = [] {
    std::string s(700 * 1024, '\0');
    uint32_t x = 12345;
    for (char& c : s) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    return s;
  }();
  const auto files = [](std::vector<ZipEntry> entries) {
    return [entries](const Sandbox&) { return BuildZip(entries); };
  };
  const Row rows[] = {
      {"dot-dot", files({{"ok.txt", "x"}, {"../x", "escaped"}}), result::kUnsafeName},
      {"dot-dot inside", files({{"a/../../x", "escaped"}}), result::kUnsafeName},
      {"absolute", [](const Sandbox& s) { return BuildZip({{s.root / "abs", "escaped"}}); }, result::kUnsafeName},
      {"backslash dot-dot", files({{"..\\x", "escaped"}}), result::kUnsafeName},
      {"drive letter", files({{"C:/x", "escaped"}}), result::kUnsafeName},
      {"symlink, then a file through it",
       [](const Sandbox& s) {
         return BuildZip({{"link", s.root / "outside", ZipEntryType::kSymlink}, {"link/file", "escaped"}});
       },
       result::kUnsupportedEntry},
      {"lone symlink", files({{"ok.txt", "x"}, {"link", "ok.txt", ZipEntryType::kSymlink}}), result::kUnsupportedEntry},
      {"socket", files({{"ok.txt", "x"}, {"sock", "", ZipEntryType::kSocket}}), result::kUnsupportedEntry},
      {"device", files({{"tty", "", ZipEntryType::kCharDevice}}), result::kUnsupportedEntry},
      {"encrypted", files({{"ok.txt", "x"}, {"secret.txt", "data", ZipEntryType::kFile, false, true}}),
       result::kEncrypted},
      {"duplicate", files({{"a.txt", "one"}, {"a.txt", "two"}}), result::kDuplicateName},
      {"duplicate after normalising", files({{"d/a.txt", "one"}, {"./d\\a.txt", "two"}}), result::kDuplicateName},
      {"file where a folder must be", files({{"a", "file"}, {"a/b.txt", "two"}}), result::kDuplicateName},
      {"NUL in a name", files({{std::string("ok.txt\0../../x", 14), "x"}}), result::kUnsafeName},
      {"invalid UTF-8 with the UTF-8 flag", files({{"bad\xff\xfe.txt", "x", ZipEntryType::kFile, true}}),
       result::kUnsafeName},
      {"undecodable CP936", files({{"bad\xff\xff.txt", "x"}}), result::kUnsafeName},
      {"ratio bomb, after a file that was written", files({{"ok.txt", "x"}, {"zeros.bin", big_bomb}}), result::kTooLarge},
      {"a part of a name over 255 bytes", files({{"ok.txt", "x"}, {"d/" + std::string(256, 'n'), "x"}}),
       result::kUnsafeName},
      {"a name over 4,096 bytes", files({{"ok.txt", "x"}, {LongName(21, 200), "x"}}), result::kUnsafeName},
      {"a name 129 folders deep", files({{"ok.txt", "x"}, {Repeat("d/", 128) + "f.txt", "x"}}), result::kUnsafeName},
      {"a 64 KB name 32,000 folders deep", files({{Repeat("d/", 32000) + Repeat("n", 1535), "x"}}),
       result::kUnsafeName},
      {"one folder entry 20,000 folders deep", files({{Repeat("d/", 20000), "", ZipEntryType::kFolder}}),
       result::kUnsafeName},
      {"declared sizes at odds with the data, 1.2 GB in all",
       [&](const Sandbox&) {
         std::vector<uint8_t> zip = BuildZip({{"a.bin", incompressible}, {"b.bin", incompressible}}, fakes::ZipMethod::kStore);
         for (size_t i : {0, 1}) fakes::SetDeclaredSize(zip, i, 600u << 20);
         return zip;
       },
       result::kCorruptData},
      {"an entry with more data than it declares",
       [&](const Sandbox&) {
         std::vector<uint8_t> zip = BuildZip({{"zeros.bin", bomb}});
         fakes::SetDeclaredSize(zip, 0, 1 << 20);
         return zip;
       },
       result::kCorruptData},
      {"more entries than the cap",
       [](const Sandbox&) {
         std::vector<ZipEntry> many(65537);
         for (size_t i = 0; i < many.size(); ++i) many[i].name = "f" + std::to_string(i);
         return BuildZip(many, fakes::ZipMethod::kStore);
       },
       result::kTooLarge},
      {"truncated",
       [](const Sandbox&) {
         std::vector<uint8_t> zip = BuildZip({{"a.txt", std::string(5000, 'a')}, {"b.txt", "b"}});
         zip.resize(zip.size() / 2);
         return zip;
       },
       result::kCannotOpen},
      {"empty file", [](const Sandbox&) { return std::vector<uint8_t>(); }, result::kCannotOpen},
      {"not a zip", [](const Sandbox&) { return Bytes("this is a text file, not an archive\n"); }, result::kCannotOpen},
  };
  for (const Row& row : rows) {
    Sandbox sandbox;
    sandbox.Stage(row.archive(sandbox));
    const auto before = Snapshot(sandbox.root.path());

    EXPECT_EQ(Extract(sandbox.zip, sandbox.work), row.code) << row.name << ": " << LastFailure();
    EXPECT_NE(LastFailure(), "") << row.name;
    EXPECT_EQ(Snapshot(sandbox.root.path()), before) << row.name;
  }
}

TEST(ArchiveControl, ExtractsFoldersAndNamesFromWindowsArchives) {
  // "考试/答案.txt" in CP936 (GBK), stored without the UTF-8 flag as Chinese Windows tools do.
  const std::string gbk_name = "\xbf\xbc\xca\xd4/\xb4\xf0\xb0\xb8.txt";
  Sandbox sandbox;
  sandbox.Stage(BuildZip({
      {"top.txt", "top"},
      {"a/b/c/deep.txt", "deep"},
      {"empty/", "", ZipEntryType::kFolder},
      {gbk_name, "gbk"},
      {"考试/说明.txt", "utf-8", ZipEntryType::kFile, true},
      {"win\\sub\\file.txt", "backslashes"},
      {"./dot.txt", "dot"},
  }));
  const mode_t old_umask = ::umask(077);  // modes are fixed, whatever the host's umask
  const int16_t code = Extract(sandbox.zip, sandbox.work);
  ::umask(old_umask);
  ASSERT_EQ(code, result::kSuccess) << LastFailure();
  EXPECT_EQ(LastFailure(), "");

  const std::map<std::string, std::string> want = {
      {"a", "folder 0755"},
      {"a/b", "folder 0755"},
      {"a/b/c", "folder 0755"},
      {"a/b/c/deep.txt", "file 0644 deep"},
      {"dot.txt", "file 0644 dot"},
      {"empty", "folder 0755"},
      {"top.txt", "file 0644 top"},
      {"win", "folder 0755"},
      {"win/sub", "folder 0755"},
      {"win/sub/file.txt", "file 0644 backslashes"},
      {"考试", "folder 0755"},
      {"考试/答案.txt", "file 0644 gbk"},
      {"考试/说明.txt", "file 0644 utf-8"},
  };
  for (const auto& [rel, what] : want) {
    const std::string path = sandbox.work + "/" + rel;
    const mode_t mode = Mode(path);
    const bool folder = what.rfind("folder", 0) == 0;
    EXPECT_EQ(folder ? S_ISDIR(mode) : S_ISREG(mode), true) << rel;
    char perms[8];
    std::snprintf(perms, sizeof perms, "%04o", mode & 07777);
    const std::string got = folder ? std::string("folder ") + perms : std::string("file ") + perms + " " + ReadText(path);
    EXPECT_EQ(got, what) << rel;
  }
  // Nothing else appeared: the listing is the archive's entries plus what was already there.
  std::vector<std::string> listing = fakes::ListTree(sandbox.work);
  std::vector<std::string> expected_listing = {"ChkPing.ZIP", "earlier.txt"};
  for (const auto& [rel, what] : want) expected_listing.push_back(rel);
  std::sort(expected_listing.begin(), expected_listing.end());
  EXPECT_EQ(listing, expected_listing);
}

TEST(ArchiveControl, ReplacesEarlierFilesAndLeavesOthersAlone) {
  Sandbox sandbox;
  fakes::WriteFileText(sandbox.work + "/answer.doc", "old answer");
  ::chmod((sandbox.work + "/answer.doc").c_str(), 0444);
  fakes::MakeDirs(sandbox.work + "/sub");
  fakes::WriteFileText(sandbox.work + "/sub/old.txt", "old");
  ::chmod((sandbox.work + "/sub/old.txt").c_str(), 0400);
  sandbox.Stage(BuildZip({{"answer.doc", "new answer"}, {"sub/new.txt", "new"}, {"sub/old.txt", "renewed"}}));

  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(ReadText(sandbox.work + "/answer.doc"), "new answer");
  EXPECT_EQ(Mode(sandbox.work + "/answer.doc") & 07777, 0644u);
  EXPECT_EQ(ReadText(sandbox.work + "/sub/old.txt"), "renewed");
  EXPECT_EQ(ReadText(sandbox.work + "/sub/new.txt"), "new");
  EXPECT_EQ(ReadText(sandbox.work + "/earlier.txt"), "earlier");

  // The same archive again: every file is replaced once more, nothing is duplicated or refused.
  fakes::WriteFileText(sandbox.work + "/answer.doc", "edited since");
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(ReadText(sandbox.work + "/answer.doc"), "new answer");
}

TEST(ArchiveControl, NeverWritesThroughSymlinksPlantedInTheFolder) {
  struct Row {
    const char* name;
    const char* planted;  // a symlink in the working folder pointing outside it
    const char* entry;    // the entry written where the symlink is or through it
  };
  const Row rows[] = {
      {"symlink where a file goes", "answer.txt", "answer.txt"},
      {"symlink where a folder goes", "sub", "sub/answer.txt"},
      {"symlink deeper down", "a/sub", "a/sub/answer.txt"},
  };
  for (const Row& row : rows) {
    Sandbox sandbox;
    fakes::WriteFileText(sandbox.root / "outside/answer.txt", "victim");
    const std::string planted = sandbox.work + "/" + row.planted;
    fakes::MakeDirs(planted.substr(0, planted.rfind('/')));
    const std::string link_target =
        std::string(row.planted) == row.entry ? sandbox.root / "outside/answer.txt" : sandbox.root / "outside";
    ASSERT_EQ(::symlink(link_target.c_str(), planted.c_str()), 0) << row.name;
    sandbox.Stage(BuildZip({{row.entry, "from the archive"}}));
    const auto outside_before = Snapshot(sandbox.root / "outside");

    ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << row.name << ": " << LastFailure();
    EXPECT_EQ(Snapshot(sandbox.root / "outside"), outside_before) << row.name;
    EXPECT_EQ(ReadText(sandbox.root / "canary.txt"), "canary") << row.name;
    EXPECT_FALSE(S_ISLNK(Mode(planted))) << row.name;
    EXPECT_EQ(ReadText(sandbox.work + "/" + row.entry), "from the archive") << row.name;
  }
}

TEST(ArchiveControl, CorruptDataStopsWithoutAPartialFile) {
  // Deflated, the damage breaks the stream; stored, only the entry's CRC-32 shows it.
  struct Row {
    const char* name;
    fakes::ZipMethod method;
  };
  for (const Row& row : {Row{"deflated", fakes::ZipMethod::kDeflate}, Row{"stored", fakes::ZipMethod::kStore}}) {
    Sandbox sandbox;
    fakes::WriteFileText(sandbox.work + "/second.txt", "earlier second");
    std::vector<uint8_t> zip =
        BuildZip({{"first.txt", "first"}, {"second.txt", std::string(100000, 'x') + "tail"}}, row.method);
    const size_t data = fakes::DataOffset(zip, 1);
    for (size_t i = 0; i < 8; ++i) zip[data + 2 + i] ^= 0x5a;
    sandbox.Stage(zip);

    EXPECT_EQ(Extract(sandbox.zip, sandbox.work), result::kCorruptData) << row.name << ": " << LastFailure();
    EXPECT_NE(LastFailure().find("second.txt"), std::string::npos) << row.name << ": " << LastFailure();
    // The failing entry leaves neither a partial file nor a temporary one; its earlier file
    // survives, and the entry written before it is removed again: no half answer stays.
    EXPECT_EQ(ReadText(sandbox.work + "/second.txt"), "earlier second") << row.name;
    EXPECT_EQ(fakes::ListTree(sandbox.work), (std::vector<std::string>{"ChkPing.ZIP", "earlier.txt", "second.txt"}))
        << row.name;
  }
}

TEST(ArchiveControl, MissingArchiveOrTargetFolderHaveTheirOwnAnswers) {
  Sandbox sandbox;
  sandbox.Stage(BuildZip({{"a.txt", "a"}}));
  struct Row {
    const char* name;
    std::string zip;
    std::string folder;
    int16_t code;
  };
  const Row rows[] = {
      {"archive missing", sandbox.work + "/missing.zip", sandbox.work, result::kCannotOpen},
      {"archive is a folder", sandbox.work, sandbox.work, result::kCannotOpen},
      {"archive path empty", "", sandbox.work, result::kCannotOpen},
      {"target folder missing", sandbox.zip, sandbox.root / "missing", result::kNoTargetFolder},
      {"target is a file", sandbox.zip, sandbox.root / "canary.txt", result::kNoTargetFolder},
      {"target empty", sandbox.zip, "", result::kNoTargetFolder},
  };
  for (const Row& row : rows) {
    const auto before = Snapshot(sandbox.root.path());
    EXPECT_EQ(Extract(row.zip, row.folder), row.code) << row.name;
    EXPECT_EQ(Snapshot(sandbox.root.path()), before) << row.name;
  }
  // A target given with a trailing separator is the same folder.
  EXPECT_EQ(Extract(sandbox.zip, sandbox.work + "/"), result::kSuccess) << LastFailure();
  EXPECT_EQ(ReadText(sandbox.work + "/a.txt"), "a");
}

TEST(ArchiveControl, DispatchSurface) {
  DispatchObject& control = SystemArchiveControl();
  // One instance for each thread, the same one each time a thread asks.
  DispatchObject* from_thread = nullptr;
  std::thread([&] { from_thread = &SystemArchiveControl(); }).join();
  EXPECT_NE(from_thread, &control);
  EXPECT_EQ(&SystemArchiveControl(), &control);

  // Values that convert are accepted and read back in the member's own type.
  control.Put(archive_dispid::kZipFilename, Variant::Text("a.zip"));
  control.Put(archive_dispid::kOption16, Variant::I2(0));
  control.Put(archive_dispid::kOption11, Variant::Text(" 2 "));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text("/srv/work"));
  EXPECT_EQ(control.Get(archive_dispid::kZipFilename), Variant::Text("a.zip"));
  EXPECT_EQ(control.Get(archive_dispid::kOption16), Variant::Bool(false));
  EXPECT_EQ(control.Get(archive_dispid::kOption11), Variant::I2(2));
  EXPECT_EQ(control.Get(archive_dispid::kUnzipToFolder), Variant::Text("/srv/work"));
  EXPECT_THROW(control.Put(archive_dispid::kOption11, Variant::Null()), RuntimeError);
  EXPECT_THROW(control.Put(archive_dispid::kOption11, Variant::Text("two")), RuntimeError);

  struct Row {
    const char* name;
    std::function<void()> act;
  };
  const Row rows[] = {
      {"put 99", [&] { control.Put(99, Variant::I2(1)); }},
      {"get 99", [&] { control.Get(99); }},
      {"call 99", [&] { control.Call(99, {Variant::I2(0)}); }},
      {"put 48", [&] { control.Put(48, Variant::I2(1)); }},
  };
  for (const Row& row : rows) {
    try {
      row.act();
      ADD_FAILURE() << row.name << " did not throw";
    } catch (const RuntimeError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string(row.name).substr(4)), std::string::npos)
          << row.name << ": " << e.what();
    }
  }
  EXPECT_THROW(control.Call(archive_dispid::kUnzip, {}), RuntimeError);
  EXPECT_THROW(control.Call(archive_dispid::kUnzip, {Variant::Null()}), RuntimeError);

  // The reason of a failure is kept until the next success.
  Sandbox sandbox;
  sandbox.Stage(BuildZip({{"../x", "x"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kUnsafeName);
  EXPECT_NE(LastFailure().find("../x"), std::string::npos) << LastFailure();
  EXPECT_EQ(control.Get(archive_dispid::kLastFailureReason).type(), VarType::Text);
  sandbox.Stage(BuildZip({{"x", "x"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(LastFailure(), "");
}

// A one-entry stored zip holding "x" whose local header names the entry `local_name` and whose
// central directory names it `central_name`, written byte by byte because no zip writer lets them differ.
std::vector<uint8_t> ZipWithNames(const std::string& local_name, const std::string& central_name) {
  std::vector<uint8_t> zip;
  const auto u16 = [&](uint32_t v) { zip.insert(zip.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  const auto u32 = [&](uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
  const auto bytes = [&](const std::string& s) { zip.insert(zip.end(), s.begin(), s.end()); };
  constexpr uint32_t kCrcOfX = 0x8cdc1683;
  u32(0x04034b50), u16(20), u16(0), u16(0), u16(0), u16(0x21), u32(kCrcOfX), u32(1), u32(1);
  u16(static_cast<uint32_t>(local_name.size())), u16(0), bytes(local_name), bytes("x");
  const size_t central = zip.size();
  u32(0x02014b50), u16(20), u16(20), u16(0), u16(0), u16(0), u16(0x21), u32(kCrcOfX), u32(1), u32(1);
  u16(static_cast<uint32_t>(central_name.size())), u16(0), u16(0), u16(0), u16(0), u32(0), u32(0);
  bytes(central_name);
  const size_t central_size = zip.size() - central;
  u32(0x06054b50), u16(0), u16(0), u16(1), u16(1), u32(static_cast<uint32_t>(central_size));
  u32(static_cast<uint32_t>(central)), u16(0);
  return zip;
}

// Found by fuzzing: an entry whose local header has an empty name made the survey read the last
// character of an empty string before the name was checked. Clang's UndefinedBehaviorSanitizer
// reports that read (GCC's does not); the archives fuzz target replays the input that found it.
TEST(ArchiveControl, EmptyLocalNameIsRefusedBeforeItsLastCharacterIsRead) {
  Sandbox sandbox;
  sandbox.Stage(ZipWithNames("", "a.txt"));
  const auto before = Snapshot(sandbox.root.path());
  EXPECT_EQ(Extract(sandbox.zip, sandbox.work), result::kUnsafeName) << LastFailure();
  EXPECT_NE(LastFailure().find("empty name"), std::string::npos) << LastFailure();
  EXPECT_EQ(Snapshot(sandbox.root.path()), before);
  // The same bytes with the name in both headers extract, so the refusal is the name's.
  sandbox.Stage(ZipWithNames("a.txt", "a.txt"));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(ReadText(sandbox.work + "/a.txt"), "x");
}

// Pieces of a zip made by BuildZip (no comment, plain end record), for archives that put a second
// central directory where the directory check might not look.
struct ZipParts {
  std::vector<uint8_t> locals;   // the local headers and data, from offset 0
  std::vector<uint8_t> central;  // every central record, in order
  std::vector<std::vector<uint8_t>> records;  // the same records one by one
};

ZipParts Split(const std::vector<uint8_t>& zip) {
  const auto le = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | zip[at + static_cast<size_t>(k)];
    return v;
  };
  const size_t end = zip.size() - 22;
  const size_t size = le(end + 12, 4), offset = le(end + 16, 4);
  ZipParts parts;
  parts.locals.assign(zip.begin(), zip.begin() + static_cast<std::ptrdiff_t>(offset));
  parts.central.assign(zip.begin() + static_cast<std::ptrdiff_t>(offset),
                       zip.begin() + static_cast<std::ptrdiff_t>(offset + size));
  for (size_t at = offset; at < offset + size;) {
    const size_t len = 46 + le(at + 28, 2) + le(at + 30, 2) + le(at + 32, 2);
    parts.records.emplace_back(zip.begin() + static_cast<std::ptrdiff_t>(at),
                               zip.begin() + static_cast<std::ptrdiff_t>(at + len));
    at += len;
  }
  return parts;
}

void Append(std::vector<uint8_t>& zip, uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) zip.push_back(static_cast<uint8_t>(value >> (8 * k)));
}
void Append(std::vector<uint8_t>& zip, const std::vector<uint8_t>& bytes) {
  zip.insert(zip.end(), bytes.begin(), bytes.end());
}
// A plain end record; the caller appends `comment_len` bytes of comment, or fewer.
void AppendEnd(std::vector<uint8_t>& zip, uint16_t entries, size_t cd_size, size_t cd_offset, uint16_t comment_len) {
  Append(zip, 0x06054b50, 4), Append(zip, 0, 4), Append(zip, entries, 2), Append(zip, entries, 2);
  Append(zip, cd_size, 4), Append(zip, cd_offset, 4), Append(zip, comment_len, 2);
}

// The directory check read a different central directory, or fewer of its records, than libarchive
// then extracted, so an entry it must refuse (here a device, which libarchive makes a plain file)
// was extracted unchecked.
TEST(ArchiveControl, EntriesOutsideTheCheckedDirectoryAreNotExtracted) {
  // Both entries are in the local headers; `hidden` names only the device's central record.
  const ZipParts zip = Split(BuildZip({{"tty", "", ZipEntryType::kCharDevice}, {"ok.txt", "x"}}));
  const std::vector<uint8_t>& hidden = zip.records[0];
  const std::vector<uint8_t>& plain = zip.records[1];
  struct Row {
    const char* name;
    std::function<std::vector<uint8_t>()> archive;
    int16_t code;
  };
  const Row rows[] = {
      {"the end record counts fewer records than the directory holds",
       [&] {
         std::vector<uint8_t> z = zip.locals;
         const size_t cd = z.size();
         Append(z, plain), Append(z, hidden);
         AppendEnd(z, 1, z.size() - cd, cd, 0);
         return z;
       },
       result::kCannotOpen},
      {"a second end record in the comment, whose comment runs past the file",
       [&] {
         std::vector<uint8_t> z = zip.locals;
         const size_t cd = z.size();
         Append(z, plain);
         const size_t second_cd = z.size() + 22;  // inside the comment of the first end record
         AppendEnd(z, 1, plain.size(), cd, static_cast<uint16_t>(zip.central.size() + 22));
         Append(z, zip.central);
         AppendEnd(z, 2, zip.central.size(), second_cd, 0xffff);
         return z;
       },
       result::kUnsupportedEntry},
      {"a zip64 locator in front of an end record that overflows nothing",
       [&] {
         std::vector<uint8_t> z = zip.locals;
         const size_t hidden_cd = z.size();
         Append(z, zip.central);
         Append(z, 0x06064b50, 4), Append(z, std::vector<uint8_t>(52, 0));  // stops libarchive's reading
         const size_t cd = z.size();
         Append(z, plain);
         const size_t record = z.size();
         Append(z, 0x06064b50, 4), Append(z, 44, 8), Append(z, 45, 2), Append(z, 45, 2), Append(z, 0, 8);
         Append(z, 2, 8), Append(z, 2, 8), Append(z, zip.central.size(), 8), Append(z, hidden_cd, 8);
         Append(z, 0x07064b50, 4), Append(z, 0, 4), Append(z, record, 8), Append(z, 1, 4);
         AppendEnd(z, 1, z.size() - cd, cd, 0);
         return z;
       },
       result::kUnsupportedEntry},
  };
  for (const Row& row : rows) {
    Sandbox sandbox;
    sandbox.Stage(row.archive());
    const auto before = Snapshot(sandbox.root.path());
    EXPECT_EQ(Extract(sandbox.zip, sandbox.work), row.code) << row.name << ": " << LastFailure();
    EXPECT_EQ(Snapshot(sandbox.root.path()), before) << row.name;
  }
}

// A check object draws question 1, then question 2 into the same working folder: question 2 is
// graded on its own answer only. What the host put there and the archives the run stages stay, a
// link planted where an extracted folder was among them (never followed); an extracted file the
// host rewrote in place since is still the extraction's and goes.
TEST(ArchiveControl, EachExtractionFirstRemovesWhatThePreviousOneWrote) {
  Sandbox sandbox;
  fakes::WriteFileText(sandbox.root / "outside/x.txt", "outside");
  sandbox.Stage(BuildZip({
      {"考生/a.txt", "q1"},
      {"考生/sub/b.txt", "q1"},
      {"only1/x.txt", "q1"},
      {"empty1/", "", ZipEntryType::kFolder},
      {"Result.Zip", "q1's own file of that name"},
      {"host-edits.txt", "q1"},
      {"ChkPing.ZIP.txt", "q1"},
  }));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();

  // The host adds a file inside an extracted folder, rewrites two extracted files (one the way a
  // scoring run stages its archive: removed, then written anew) and plants a link.
  fakes::WriteFileText(sandbox.work + "/考生/host.txt", "host");
  ASSERT_EQ(::unlink((sandbox.work + "/Result.Zip").c_str()), 0);
  fakes::WriteFileText(sandbox.work + "/Result.Zip", "staged by the run");
  fakes::WriteFileText(sandbox.work + "/host-edits.txt", "edited by the host");
  std::filesystem::remove_all(sandbox.work + "/only1");
  ASSERT_EQ(::symlink((sandbox.root / "outside").c_str(), (sandbox.work + "/only1").c_str()), 0);

  sandbox.Stage(BuildZip({{"考生/c.txt", "q2"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work + "/"), result::kSuccess) << LastFailure();
  EXPECT_TRUE(S_ISLNK(Mode(sandbox.work + "/only1")));
  EXPECT_EQ(ReadText(sandbox.root / "outside/x.txt"), "outside");
  ASSERT_EQ(::unlink((sandbox.work + "/only1").c_str()), 0);
  EXPECT_EQ(fakes::ListTree(sandbox.work),
            (std::vector<std::string>{"ChkPing.ZIP", "Result.Zip", "earlier.txt", "考生", "考生/c.txt", "考生/host.txt"}));
  EXPECT_EQ(ReadText(sandbox.work + "/Result.Zip"), "staged by the run");

  // An archive that holds the name of the archive being extracted does not lose it to the next run.
  sandbox.Stage(BuildZip({{"ChkPing.ZIP", "an entry named like the staged archive"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  sandbox.Stage(BuildZip({{"q4.txt", "q4"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_TRUE(fakes::PathExists(sandbox.zip));
  EXPECT_FALSE(fakes::PathExists(sandbox.work + "/考生/c.txt"));
  EXPECT_TRUE(fakes::PathExists(sandbox.work + "/q4.txt"));

  // A refused archive still clears the folder of the last answer: nothing of it can be graded.
  sandbox.Stage(BuildZip({{"../x", "x"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kUnsafeName);
  EXPECT_FALSE(fakes::PathExists(sandbox.work + "/q4.txt"));
  EXPECT_TRUE(fakes::PathExists(sandbox.work + "/earlier.txt"));
}

// A folder the next archive needs again is left standing (emptied of the previous answer's files)
// instead of being removed and made anew; it stays the extraction's own, so a later archive without
// it removes it. A descriptor held on each folder tells a kept folder from a new one of that name.
TEST(ArchiveControl, FoldersTheNextArchiveNeedsAgainStayWithoutTheirOldFiles) {
  Sandbox sandbox;
  sandbox.Stage(BuildZip({{"doc/a.txt", "q1"}, {"doc/sub/b.txt", "q1"}, {"gone/c.txt", "q1"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  std::map<std::string, int> held;
  for (const std::string rel : {"doc", "doc/sub", "gone"}) {
    held[rel] = ::open((sandbox.work + "/" + rel).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held[rel], 0) << rel;
  }

  sandbox.Stage(BuildZip({{"doc/sub/d.txt", "q2"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(fakes::ListTree(sandbox.work),
            (std::vector<std::string>{"ChkPing.ZIP", "doc", "doc/sub", "doc/sub/d.txt", "earlier.txt"}));
  const std::map<std::string, bool> still_there{{"doc", true}, {"doc/sub", true}, {"gone", false}};
  for (const auto& [rel, kept] : still_there) {
    struct stat before, now;
    ASSERT_EQ(::fstat(held[rel], &before), 0) << rel;
    const bool same = ::stat((sandbox.work + "/" + rel).c_str(), &now) == 0 && before.st_nlink > 0 &&
                      now.st_ino == before.st_ino && now.st_dev == before.st_dev;
    EXPECT_EQ(same, kept) << rel;
    ::close(held[rel]);
  }

  sandbox.Stage(BuildZip({{"e.txt", "q3"}}));
  ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << LastFailure();
  EXPECT_EQ(fakes::ListTree(sandbox.work), (std::vector<std::string>{"ChkPing.ZIP", "e.txt", "earlier.txt"}));
}

// A file the previous answer wrote is written over in place when the next archive holds its name
// and it is still as written (same inode, shorter or longer data alike). A second name made for it
// since, or a failure before or while its entry is written, must not carry the old or a half
// answer anywhere.
TEST(ArchiveControl, EarlierFilesOfTheSameNameAreWrittenOverOnlyWhileStillAsWritten) {
  auto corrupt_second = [](std::vector<ZipEntry> entries) {
    std::vector<uint8_t> zip = BuildZip(entries, fakes::ZipMethod::kStore);
    const size_t data = fakes::DataOffset(zip, 1);
    for (size_t i = 0; i < 8; ++i) zip[data + i] ^= 0x5a;
    return zip;
  };
  const std::string big(20000, 'n');
  struct Row {
    const char* name;
    std::vector<uint8_t> second;
    bool hard_link;  // the host links doc/a.txt to a file outside before the second extraction
    int16_t result;
    std::map<std::string, std::string> tree;  // the working folder's files afterwards (ChkPing.ZIP aside)
    bool same_inode;                          // doc/a.txt is the first extraction's inode
  };
  const std::map<std::string, std::string> none{{"earlier.txt", "earlier"}};
  const Row rows[] = {
      {"shorter", BuildZip({{"doc/a.txt", "short"}}), false, result::kSuccess,
       {{"doc/a.txt", "short"}, {"earlier.txt", "earlier"}}, true},
      {"longer", BuildZip({{"doc/b.txt", "b2"}, {"doc/a.txt", big}}), false, result::kSuccess,
       {{"doc/a.txt", big}, {"doc/b.txt", "b2"}, {"earlier.txt", "earlier"}}, true},
      {"hard-linked since", BuildZip({{"doc/a.txt", "second"}}), true, result::kSuccess,
       {{"doc/a.txt", "second"}, {"earlier.txt", "earlier"}}, false},
      {"fails before its name", corrupt_second({{"x.txt", "x"}, {"doc/b.txt", "bbbbbbbbbbbb"}, {"doc/a.txt", "a2"}}),
       false, result::kCorruptData, none, false},
      {"fails while written over", corrupt_second({{"x.txt", "x"}, {"doc/a.txt", "aaaaaaaaaaaaaaaa"}}), false,
       result::kCorruptData, none, false},
  };
  for (const Row& row : rows) {
    Sandbox sandbox;
    fakes::WriteFileText(sandbox.root / "outside/hard.txt", "");
    sandbox.Stage(BuildZip({{"doc/a.txt", "the first answer"}, {"doc/b.txt", "b1"}, {"c.txt", "c1"}}));
    ASSERT_EQ(Extract(sandbox.zip, sandbox.work), result::kSuccess) << row.name << ": " << LastFailure();
    struct stat first;
    ASSERT_EQ(::stat((sandbox.work + "/doc/a.txt").c_str(), &first), 0);
    if (row.hard_link) {
      ASSERT_EQ(::unlink((sandbox.root / "outside/hard.txt").c_str()), 0);
      ASSERT_EQ(::link((sandbox.work + "/doc/a.txt").c_str(), (sandbox.root / "outside/hard.txt").c_str()), 0);
    }

    sandbox.Stage(row.second);
    EXPECT_EQ(Extract(sandbox.zip, sandbox.work), row.result) << row.name << ": " << LastFailure();
    std::map<std::string, std::string> tree;
    for (const std::string& rel : fakes::ListTree(sandbox.work)) {
      if (rel != "ChkPing.ZIP" && !S_ISDIR(Mode(sandbox.work + "/" + rel))) tree[rel] = ReadText(sandbox.work + "/" + rel);
    }
    EXPECT_EQ(tree, row.tree) << row.name;
    struct stat now;
    const bool same = ::stat((sandbox.work + "/doc/a.txt").c_str(), &now) == 0 && now.st_ino == first.st_ino;
    EXPECT_EQ(same, row.same_inode) << row.name;
    EXPECT_EQ(ReadText(sandbox.root / "outside/hard.txt"), row.hard_link ? "the first answer" : "") << row.name;
  }
}

// Two threads, each with its own folder and archive, driving the control as scoring runs do: no
// extraction ever takes the other thread's archive or folder.
// A run's footprint is told by identity, not by name: a second name a run gave to a file that was
// there before (a hard link) goes with the run, while the file keeps its own names; a file of the
// host's that the run only renamed is not removed.
TEST(RunFootprints, ANameARunGaveToAnEarlierFileGoesWithTheRun) {
  fakes::TempDir dir;
  const std::string work = dir / "work";
  const std::string zip = dir / "a.zip";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  fakes::WriteFileText(work + "/host.txt", "the host's");
  fakes::WriteFileText(work + "/moved.txt", "the host's too");
  ASSERT_EQ(::link((work + "/host.txt").c_str(), (work + "/host-again.txt").c_str()), 0);  // the host's own
  RunFootprints& footprints = SystemRunFootprints();
  auto start = footprints.Begin(work, "Result.Zip");
  ASSERT_EQ(::mkdir((work + "/answer").c_str(), 0755), 0);
  ASSERT_EQ(::link((work + "/host.txt").c_str(), (work + "/answer/checked").c_str()), 0);
  ASSERT_EQ(::rename((work + "/moved.txt").c_str(), (work + "/answer/moved.txt").c_str()), 0);
  footprints.End(work, *start);
  // The next run: its extraction goes after the footprint is cleared, as in a scoring run.
  start = footprints.Begin(work, "Result.Zip");
  fakes::WriteFileBytes(zip, BuildZip({{"other.txt", "the next answer"}}));
  ASSERT_EQ(Extract(zip, work), result::kSuccess) << LastFailure();
  footprints.End(work, *start);
  EXPECT_FALSE(std::filesystem::exists(work + "/answer/checked"));
  EXPECT_EQ(ReadText(work + "/host.txt"), "the host's");
  EXPECT_EQ(ReadText(work + "/answer/moved.txt"), "the host's too");
  EXPECT_EQ(footprints.Clear(work), "");
  EXPECT_EQ(ReadText(work + "/host.txt"), "the host's");
  EXPECT_EQ(ReadText(work + "/host-again.txt"), "the host's");
  EXPECT_EQ(ReadText(work + "/answer/moved.txt"), "the host's too");
}

// A run that puts another folder in the working folder's place fails: what stands there was never
// looked at when the run began.
TEST(RunFootprints, AWorkingFolderReplacedDuringARunFailsIt) {
  fakes::TempDir dir;
  const std::string work = dir / "work";
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  RunFootprints& footprints = SystemRunFootprints();
  const auto start = footprints.Begin(work, "Result.Zip");
  ASSERT_EQ(::rename(work.c_str(), (dir / "old").c_str()), 0);
  ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
  fakes::WriteFileText(work + "/checked", "planted");
  try {
    footprints.End(work, *start);
    ADD_FAILURE() << "a replaced working folder was taken for the one the run began in";
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("was removed or replaced during the scoring run"), std::string::npos)
        << e.what();
  }
}

TEST(ArchiveControl, ThreadsNeverMixTheirPutsAndCalls) {
  Sandbox a, b;
  a.Stage(BuildZip({{"who.txt", "a"}}));
  b.Stage(BuildZip({{"who.txt", "b"}}));
  // The interleaving that mixed them, made to happen: this thread puts, another thread puts and
  // calls, then this thread calls.
  DispatchObject& mine = SystemArchiveControl();
  mine.Put(archive_dispid::kZipFilename, Variant::Text(a.zip));
  mine.Put(archive_dispid::kUnzipToFolder, Variant::Text(a.work));
  std::thread([&] { ASSERT_EQ(Extract(b.zip, b.work), result::kSuccess) << LastFailure(); }).join();
  ASSERT_EQ(ToInt16(mine.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kSuccess) << LastFailure();
  EXPECT_EQ(ReadText(a.work + "/who.txt"), "a");
  EXPECT_EQ(ReadText(b.work + "/who.txt"), "b");

  constexpr int kRounds = 300;
  int wrong[2] = {0, 0};
  const auto run = [&](const Sandbox& own, const char* who, int& bad) {
    for (int i = 0; i < kRounds; ++i) {
      if (Extract(own.zip, own.work) != result::kSuccess || ReadText(own.work + "/who.txt") != who) ++bad;
    }
  };
  std::thread ta(run, std::cref(a), "a", std::ref(wrong[0]));
  std::thread tb(run, std::cref(b), "b", std::ref(wrong[1]));
  ta.join();
  tb.join();
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
}

// The host's stop flag and its limits reach the control through the platform bundle's call.
TEST(ArchiveControl, HonoursTheHostsStopFlagAndLimits) {
  Sandbox sandbox;
  sandbox.Stage(BuildZip({{"a.txt", "a"}, {"d/b.txt", "b"}}));
  const auto before = Snapshot(sandbox.root.path());
  StopFlag stop{true};
  DispatchObject& control = SystemArchiveControl(Limits{}, &stop);
  control.Put(archive_dispid::kZipFilename, Variant::Text(sandbox.zip));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text(sandbox.work));
  EXPECT_EQ(ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kStopped);
  EXPECT_EQ(ToText(control.Get(archive_dispid::kLastFailureReason)), kStoppedDescription);
  EXPECT_EQ(Snapshot(sandbox.root.path()), before);
  stop = false;
  EXPECT_EQ(ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kSuccess);

  Limits shallow;
  shallow.name_depth = 1;
  DispatchObject& limited = SystemArchiveControl(shallow, nullptr);
  EXPECT_EQ(ToInt16(limited.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kUnsafeName);
  EXPECT_NE(ToText(limited.Get(archive_dispid::kLastFailureReason)).find("1 folders deep"), std::string::npos);

  // The plain control has the default limits and no stop flag again, whatever was set before.
  stop = true;
  SystemArchiveControl(shallow, &stop);
  DispatchObject& plain = SystemArchiveControl();
  EXPECT_EQ(ToInt16(plain.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kSuccess)
      << ToText(plain.Get(archive_dispid::kLastFailureReason));
}

// As root, a folder's mode does not stop a write; an unprivileged child process meets it.
TEST(ArchiveControl, AFolderThatCannotBeWrittenHasItsOwnAnswer) {
  Sandbox sandbox;
  sandbox.Stage(BuildZip({{"a.txt", "a"}, {"d/b.txt", "b"}}));
  ::chmod(sandbox.root.path().c_str(), 0755);
  ::chmod(sandbox.zip.c_str(), 0644);
  ::chmod(sandbox.work.c_str(), 0555);
  const auto before = Snapshot(sandbox.root.path());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(100);
    }
    const int16_t code = Extract(sandbox.zip, sandbox.work);
    const bool names_file = LastFailure().find("cannot write") != std::string::npos;
    ::_exit(code == result::kCannotWrite && names_file ? 0 : 10 + code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's answer was " << WEXITSTATUS(status) - 10;
  ::chmod(sandbox.work.c_str(), 0755);
  EXPECT_EQ(Snapshot(sandbox.root.path()), before);
}

// Peak resident memory since the last ResetPeakMemory, in KiB, from /proc/self/status (VmHWM).
long PeakMemoryKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}
long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}
// Lowers the peak to what is resident now, so the next peak is that of what runs after this call.
bool ResetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// The peak is measured for each extraction alone (the kernel's high-water mark is reset before it),
// so rows earlier in the process cannot hide growth.
TEST(ArchiveControl, MemoryDoesNotGrowWithTheArchive) {
  Sandbox sandbox;
  constexpr int kFiles = 25;
  constexpr uint64_t kBytesEach = 2 << 20;  // 50 MiB in all
  fakes::WriteTextZip(sandbox.zip, kFiles, kBytesEach, 7);
  Sandbox deep;  // a 64 KB name 32,000 folders deep, which once cost a gigabyte to refuse
  deep.Stage(BuildZip({{Repeat("d/", 32000) + Repeat("n", 1535), "x"}}));
  // Warm up once so that the libraries' own one-time allocations are not counted.
  Sandbox small;
  small.Stage(BuildZip({{"a.txt", std::string(100000, 'a')}}));
  ASSERT_EQ(Extract(small.zip, small.work), result::kSuccess) << LastFailure();

  struct Row {
    const char* name;
    const Sandbox& sandbox;
    int16_t code;
  };
  const Row rows[] = {{"50 MiB of files", sandbox, result::kSuccess}, {"deep name", deep, result::kUnsafeName}};
  for (const Row& row : rows) {
    if (!ResetPeakMemory()) GTEST_SKIP() << "/proc/self/clear_refs cannot be written here";
    const long before = ResidentKib();
    ASSERT_EQ(Extract(row.sandbox.zip, row.sandbox.work), row.code) << row.name << ": " << LastFailure();
    const long growth_kib = PeakMemoryKib() - before;
    EXPECT_LT(growth_kib, 8 * 1024) << row.name << ": peak memory grew by " << growth_kib << " KiB";
  }
  struct stat st;
  ASSERT_EQ(::stat((sandbox.work + "/big/24.txt").c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), kBytesEach);
}

}  // namespace
}  // namespace vardenix
