#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace
}  // namespace vardenix
