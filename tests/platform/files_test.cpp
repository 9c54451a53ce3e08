#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tests/platform/temp_folder.h"
#include "support/failure.h"
#include "support/unprivileged.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using support::FailureOf;

using testing::ReadFile;
using testing::TempFolder;

std::string ReadOnlyFile(const TempFolder& folder, const std::string& name) {
  const std::string path = folder.Write(name, "old");
  ::chmod(path.c_str(), 0444);
  return path;
}

TEST(FilesTest, ExistsForRegularFilesOnly) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "sub");
  ReadOnlyFile(folder, "readonly.zip");
  folder.Write("plain.zip", "x");
  std::filesystem::create_symlink(folder / "plain.zip", folder / "link.zip");
  std::filesystem::create_symlink(folder / "gone.zip", folder / "dangling.zip");
  struct Row {
    const char* name;
    std::string path;
    bool exists;
  } rows[] = {
      {"plain file", folder / "plain.zip", true},
      {"read-only file", folder / "readonly.zip", true},
      {"folder", folder / "sub", false},
      {"missing file", folder / "missing.zip", false},
      {"below a file", folder / "plain.zip/x", false},
      {"link to a file", folder / "link.zip", true},
      {"dangling link", folder / "dangling.zip", false},
      {"empty path", "", false},
  };
  for (const Row& row : rows) EXPECT_EQ(SystemFiles().FileExists(row.path), row.exists) << row.name;
}

// Run as an ordinary user: root writes through read-only files and folders, so as root these cases
// would pass whatever the code did.
TEST(FilesTest, ReadOnlyFilesAndFoldersAsAnOrdinaryUserSeesThem) {
  TempFolder folder;
  const std::string path = ReadOnlyFile(folder, "ChkPing.ZIP");
  fakes::MakeDirs(folder / "locked");
  const std::string answer = support::RunUnprivileged(folder.path(), [&]() -> std::string {
    if (::chmod((folder / "locked").c_str(), 0555) != 0) return "cannot make the folder read-only";
    // A read-only file is cleared: made writable, then deleted.
    SystemFiles().ResetAttributes(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !(st.st_mode & S_IWUSR)) return "the file is still read-only";
    if (::access(path.c_str(), W_OK) != 0) return "the file is not writable";
    SystemFiles().Delete(path);
    if (std::filesystem::exists(path)) return "the file is still there";
    // A folder that cannot be written takes no new file.
    const std::string failure = FailureOf([&] { SystemFiles().WriteNew(folder / "locked/ChkPing.ZIP", {1}); });
    if (failure.find("Permission denied") == std::string::npos) return "writing into a read-only folder: " + failure;
    return "";
  });
  EXPECT_EQ(answer, "");
}

TEST(FilesTest, WriteNewWritesExactlyTheBytes) {
  TempFolder folder;
  const std::vector<std::vector<uint8_t>> contents = {{}, {0x50, 0x4B, 0x00, 0x03, 0x0D, 0x0A, 0xFF}};
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const std::string path = folder / ("out" + std::to_string(i));
    SystemFiles().WriteNew(path, contents[i]);
    const std::string written = ReadFile(path);
    EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.end()), contents[i]) << "content " << i;
  }
}

TEST(FilesTest, WriteNewNeverWritesThroughASymlink) {
  TempFolder folder;
  const std::string target = folder.Write("target", "keep");
  const std::string link = folder / "ChkPing.ZIP";
  std::filesystem::create_symlink(target, link);
  const std::string failure = FailureOf([&] { SystemFiles().WriteNew(link, {1, 2, 3}); });
  EXPECT_NE(failure.find(link), std::string::npos) << failure;
  EXPECT_EQ(ReadFile(target), "keep");
}

// Writing over in place is taken only where it ends as clearing the way and writing anew would; every
// other thing at the path is left exactly as it was, for the caller's clear-and-write steps.
TEST(FilesTest, RewriteInPlaceOnlyWhereClearingTheWayWouldEndTheSame) {
  struct Row {
    const char* name;
    std::function<void(const std::string& path, const std::string& folder)> plant;
    bool rewritten;
  };
  const auto file = [](const char* text, mode_t mode) {
    return [=](const std::string& path, const std::string&) {
      std::ofstream(path, std::ios::binary) << text;
      ::chmod(path.c_str(), mode);
    };
  };
  const Row rows[] = {
      {"a longer file", file("an earlier, longer archive", 0644), true},
      {"a shorter file", file("short", 0644), true},
      {"owner only", file("old", 0600), true},
      {"read-only", file("old", 0444), false},
      {"group-writable", file("old", 0664), false},
      {"executable", file("old", 0755), false},
      {"hard-linked", [](const std::string& path, const std::string& folder) {
         std::ofstream(path) << "old";
         ::link(path.c_str(), (folder + "/second-name").c_str());
       }, false},
      {"symlink to a file", [](const std::string& path, const std::string& folder) {
         std::ofstream(folder + "/target") << "old";
         ::symlink((folder + "/target").c_str(), path.c_str());
       }, false},
      {"folder", [](const std::string& path, const std::string&) { ::mkdir(path.c_str(), 0755); }, false},
      {"fifo", [](const std::string& path, const std::string&) { ::mkfifo(path.c_str(), 0644); }, false},
      {"nothing", [](const std::string&, const std::string&) {}, false},
  };
  const std::vector<uint8_t> bytes = {'P', 'K', 0x05, 0x06, 0, 0, 0, 0, 'n', 'e', 'w'};
  for (const Row& row : rows) {
    TempFolder folder;
    const std::string path = folder / "ChkPing.ZIP";
    row.plant(path, folder.path());
    struct stat before {};
    ::lstat(path.c_str(), &before);
    const std::string target_before = ReadFile(folder / "target");
    ASSERT_EQ(SystemFiles().RewriteInPlace(path, bytes), row.rewritten) << row.name;
    struct stat after {};
    ::lstat(path.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << row.name;
    EXPECT_EQ(after.st_mode, before.st_mode) << row.name;
    if (row.rewritten) {
      const std::string written = ReadFile(path);
      EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.end()), bytes) << row.name;
    } else if (S_ISREG(after.st_mode)) {
      EXPECT_EQ(ReadFile(path), "old") << row.name;
    }
    EXPECT_EQ(ReadFile(folder / "target"), target_before) << row.name;
  }
}

TEST(FilesTest, FailuresNameThePathAndTheReason) {
  TempFolder folder;
  const std::string missing = folder / "missing/ChkPing.ZIP";
  struct Row {
    const char* name;
    std::function<void()> action;
  } rows[] = {
      {"write into a missing folder", [&] { SystemFiles().WriteNew(missing, {1}); }},
      {"reset a missing file", [&] { SystemFiles().ResetAttributes(missing); }},
      {"delete a missing file", [&] { SystemFiles().Delete(missing); }},
  };
  for (const Row& row : rows) {
    const std::string failure = FailureOf(row.action);
    EXPECT_NE(failure.find(missing), std::string::npos) << row.name << ": " << failure;
    EXPECT_NE(failure.find("No such file or directory"), std::string::npos) << row.name << ": " << failure;
  }
}

// The system reads a path up to its first NUL, so "<dir>/victim.txt\0" would reach <dir>/victim.txt.
TEST(FilesTest, APathHoldingANulIsRefusedByEveryOperation) {
  TempFolder folder;
  const std::string victim = folder.Write("victim.txt", "the host's file");
  const std::string with_nul = victim + std::string(1, '\0') + "ChkPing.ZIP";
  struct Row {
    const char* name;
    std::function<void()> action;
  } rows[] = {
      {"exists", [&] { SystemFiles().FileExists(with_nul); }},
      {"reset", [&] { SystemFiles().ResetAttributes(with_nul); }},
      {"delete", [&] { SystemFiles().Delete(with_nul); }},
      {"write", [&] { SystemFiles().WriteNew(with_nul, {1, 2, 3}); }},
  };
  for (const Row& row : rows) {
    const std::string failure = FailureOf(row.action);
    EXPECT_NE(failure.find(victim + "\\0ChkPing.ZIP"), std::string::npos) << row.name << ": " << failure;
    EXPECT_NE(failure.find("NUL"), std::string::npos) << row.name << ": " << failure;
    EXPECT_EQ(ReadFile(victim), "the host's file") << row.name;
  }
}

// Emptying a worker folder never crosses into another file system: one mounted inside the folder,
// or on the folder itself, keeps its files and the sweep refuses the folder. Mounting needs root
// (CI runs as root); elsewhere the test is skipped, saying why.
TEST(FilesTest, EmptyingAWorkerFolderNeverCrossesAMount) {
  struct Row {
    const char* name;
    const char* mount_at;  // inside the worker folder "job"
  };
  const Row rows[] = {
      {"a file system mounted in a folder inside", "job/inner"},
      {"a file system mounted two folders down", "job/a/inner"},
      {"a file system mounted on the worker folder itself", "job"},
  };
  for (const Row& row : rows) {
    TempFolder dir;
    const std::string job = dir / "job";
    SystemFiles().MakeWorkerFolder(job);  // made by a sweep: it holds the marker
    const std::string at = dir / row.mount_at;
    std::filesystem::create_directories(at);
    if (std::string(row.mount_at) == "job") {
      // The marker too, so that only the mount tells the folder from one a sweep made.
      if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs (" << std::strerror(errno) << "): needs root";
      }
      std::ofstream(job + "/.vardenix-worker") << "marker\n";
    } else if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs (" << std::strerror(errno) << "): needs root";
    }
    std::ofstream(at + "/precious.txt") << "not the sweep's\n";
    std::ofstream(job + "/left.txt") << "an earlier answer\n";
    const std::string failure = FailureOf([&] { SystemFiles().MakeWorkerFolder(job); });
    EXPECT_EQ(ReadFile(at + "/precious.txt"), "not the sweep's\n") << row.name;
    EXPECT_NE(failure, "(nothing thrown)") << row.name;
    EXPECT_NE(failure.find(job), std::string::npos) << row.name << ": " << failure;
    ::umount2(at.c_str(), MNT_DETACH);
  }
}

}  // namespace
}  // namespace vardenix
