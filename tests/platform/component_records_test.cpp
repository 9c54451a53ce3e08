// Registration records: the files `vardenix register`, `unregister` and `components` work on.
#include "hosting/component_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/platform/temp_folder.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using testing::ReadFile;
using testing::TempFolder;

TEST(ComponentRecordsTest, RecordFileNames) {
  const struct {
    const char* name;
    std::string prog_id;
    std::string file;  // empty: refused
  } rows[] = {
      {"plain", "Acme.Scorer.1", "/reg/acme.scorer.1.component"},
      {"case folded", "ACME.scorer", "/reg/acme.scorer.component"},
      {"slash escaped", "a/../b", "/reg/a%2F..%2Fb.component"},
      {"leading dot escaped", ".hidden", "/reg/%2Ehidden.component"},
      {"space and percent escaped", "a b%", "/reg/a%20b%25.component"},
      {"UTF-8 escaped", "\xE4\xB8\xAD", "/reg/%E4%B8%AD.component"},
      {"empty", "", ""},
      {"too long", std::string(300, 'a'), ""},
  };
  for (const auto& row : rows) {
    if (row.file.empty()) {
      EXPECT_THROW(ComponentRecordPath("/reg", row.prog_id), RuntimeError) << row.name;
    } else {
      EXPECT_EQ(ComponentRecordPath("/reg/", row.prog_id), row.file) << row.name;
    }
  }
}

TEST(ComponentRecordsTest, WriteFindReplaceRemove) {
  TempFolder top;
  const std::string folder = top / "data/vardenix/registry";  // created on the first write
  WriteComponentRecord(folder, "Acme.Scorer.1", "/opt/acme/old.so");
  WriteComponentRecord(folder, "Acme.Scorer.1", "/opt/acme/libscorer.so");
  const std::string file = folder + "/acme.scorer.1.component";
  EXPECT_EQ(ReadFile(file),
            "# Vardenix scoring-component registration\nprogid=Acme.Scorer.1\nmodule=/opt/acme/libscorer.so\n");

  const auto found = FindComponentRecord(folder, "acme.SCORER.1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->prog_id, "Acme.Scorer.1");
  EXPECT_EQ(found->module_path, "/opt/acme/libscorer.so");
  EXPECT_EQ(found->file, file);
  EXPECT_EQ(found->problem, "");
  EXPECT_FALSE(FindComponentRecord(folder, "Other.Scorer").has_value());
  EXPECT_FALSE(FindComponentRecord(top / "nowhere", "Acme.Scorer.1").has_value());

  EXPECT_TRUE(RemoveComponentRecord(folder, "ACME.Scorer.1"));
  EXPECT_FALSE(RemoveComponentRecord(folder, "Acme.Scorer.1"));
  EXPECT_TRUE(ListComponentRecords(folder).empty());
  EXPECT_EQ(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator())
      << "no temporary files are left behind";
}

TEST(ComponentRecordsTest, WriteRefusesValuesThatCannotBeRecorded) {
  TempFolder folder;
  const struct {
    const char* name;
    std::string folder, prog_id, module;
  } rows[] = {
      {"relative module", folder.path(), "A.B", "lib/scorer.so"},
      {"module with a line break", folder.path(), "A.B", "/lib/scorer.so\nmodule=/tmp/evil.so"},
      {"ProgID with a line break", folder.path(), "A.B\nmodule=/tmp/evil.so", "/lib/scorer.so"},
      {"empty ProgID", folder.path(), "", "/lib/scorer.so"},
      {"no folder", "", "A.B", "/lib/scorer.so"},
  };
  for (const auto& row : rows) {
    EXPECT_THROW(WriteComponentRecord(row.folder, row.prog_id, row.module), RuntimeError) << row.name;
  }
  EXPECT_TRUE(ListComponentRecords(folder.path()).empty());
}

TEST(ComponentRecordsTest, ListMarksRecordsThatCannotBeUsed) {
  TempFolder folder;
  WriteComponentRecord(folder.path(), "Good.Scorer", "/opt/good.so");
  folder.Write("no.module.component", "progid=No.Module\n");
  folder.Write("relative.component", "progid=Relative\nmodule=lib/x.so\n");
  folder.Write("misnamed.component", "progid=Other.Name\nmodule=/opt/x.so\n");
  folder.Write("huge.component", "progid=Huge\nmodule=/opt/x.so\n" + std::string(70000, '#'));
  folder.Write("readme.txt", "not a record");
  const struct {
    const char* file;
    std::string problem;  // a part of it; empty for a usable record
  } rows[] = {
      {"good.scorer.component", ""},
      {"huge.component", "too large"},
      {"misnamed.component", "does not stand for the ProgID \"Other.Name\""},
      {"no.module.component", "no module= line"},
      {"relative.component", "is not absolute"},
  };
  const auto records = ListComponentRecords(folder.path());
  ASSERT_EQ(records.size(), std::size(rows));
  for (const auto& row : rows) {
    const auto it = std::find_if(records.begin(), records.end(),
                                 [&](const ComponentRecord& r) { return r.file == folder / row.file; });
    ASSERT_NE(it, records.end()) << row.file;
    if (row.problem.empty()) {
      EXPECT_EQ(it->problem, "") << row.file;
    } else {
      EXPECT_NE(it->problem.find(row.problem), std::string::npos) << row.file << ": " << it->problem;
    }
  }
  // Found by the ProgID it names, a record for another ProgID is refused too.
  const auto misnamed = FindComponentRecord(folder.path(), "Misnamed");
  ASSERT_TRUE(misnamed.has_value());
  EXPECT_NE(misnamed->problem, "");
}

TEST(ComponentRecordsTest, RegisterAndUnregisterAModule) {
  TempFolder folder;
  const auto written = RegisterModule(folder.path(), VX_TEST_SCORER);
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].prog_id, "Vardenix.Test.Scorer");
  EXPECT_EQ(written[1].prog_id, "Vardenix.Test.Unborn");
  WriteComponentRecord(folder.path(), "Other.Scorer", "/opt/other.so");

  const auto listed = ListComponentRecords(folder.path());
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].prog_id, "Other.Scorer");
  EXPECT_EQ(listed[1].module_path, std::filesystem::path(VX_TEST_SCORER).lexically_normal().string());

  // The module named by another spelling of its path; the other module's record stays.
  const std::filesystem::path module(VX_TEST_SCORER);
  const std::string spelled = (module.parent_path() / "." / module.filename()).string();
  EXPECT_EQ(UnregisterModule(folder.path(), spelled).size(), 2u);
  const auto left = ListComponentRecords(folder.path());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].prog_id, "Other.Scorer");

  EXPECT_THROW(RegisterModule(folder.path(), VX_TEST_WRONG_ABI), RuntimeError);
  EXPECT_EQ(ListComponentRecords(folder.path()).size(), 1u);
}

TEST(ComponentRecordsTest, DefaultRegistryFolder) {
  const struct {
    const char* name;
    std::string xdg_data_home, home, folder;
  } rows[] = {
      {"XDG_DATA_HOME", "/data", "/home/ann", "/data/vardenix/registry"},
      {"XDG_DATA_HOME with slash", "/data/", "/home/ann", "/data/vardenix/registry"},
      {"relative XDG_DATA_HOME is ignored", "data", "/home/ann", "/home/ann/.local/share/vardenix/registry"},
      {"HOME only", "", "/home/ann", "/home/ann/.local/share/vardenix/registry"},
      {"neither", "", "", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(DefaultRegistryFolder(row.xdg_data_home, row.home), row.folder) << row.name;
  }
}

}  // namespace
}  // namespace vardenix
