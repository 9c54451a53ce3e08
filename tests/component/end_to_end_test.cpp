// A check object on the real system: a real zip, the real archive control, and a scoring component
// from a module loaded through the class registry.
#include <gtest/gtest.h>

#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

namespace vardenix {
namespace {

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char message[256] = {};
    ASSERT_EQ(vardenix_load_module(VX_TEST_SCORER, message, sizeof message), VX_OK) << message;
  }
};

TEST_F(EndToEnd, ATypicalDocumentIsExtractedAndGraded) {
  fakes::TempDir work;
  ClsEnviChk chk;
  chk.PingName("Vardenix.Test.Scorer");
  chk.PingPath(work.path());
  std::vector<uint8_t> archive = fakes::BuildZip({{"doc\\答案.txt", "content", fakes::ZipEntryType::kFile, true}});

  std::string text = "x", xml = "x";
  EXPECT_TRUE(chk.PingEnviChk(text, xml, archive, "perfect", ChkResultDoc));
  EXPECT_EQ(text, "");
  EXPECT_EQ(xml, "");
  EXPECT_EQ(fakes::ReadFileBytes(work / "doc/答案.txt"), std::vector<uint8_t>({'c', 'o', 'n', 't', 'e', 'n', 't'}));
  EXPECT_EQ(fakes::ReadFileBytes(work / "ChkPing.ZIP"), archive);

  // Half marks: the component's own report comes back, with what crossed the boundary.
  EXPECT_FALSE(chk.PingEnviChk(text, xml, archive, "half", ChkResultDoc));
  EXPECT_EQ(text, "AnsCont=8:half;ErrInfoType=2:63.000000;GetTotalScore=2:100.000000;TestPath=8:" + work.path() + ";");
  EXPECT_EQ(xml, "<RuleErrs/>");
}

TEST_F(EndToEnd, AnArchiveThatEscapesItsFolderIsRefusedWithoutAReport) {
  fakes::TempDir parent;
  const std::string work = parent / "work";
  fakes::MakeDirs(work);
  ClsEnviChk chk;
  chk.PingName("Vardenix.Test.Scorer");
  chk.PingPath(work);
  std::vector<uint8_t> archive = fakes::BuildZip({{"../escaped.txt", "x"}});
  std::string text, xml;
  EXPECT_FALSE(chk.PingEnviChk(text, xml, archive, "perfect", ChkResultDoc));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(fakes::PathExists(parent / "escaped.txt"));
  EXPECT_EQ(fakes::ListTree(work), std::vector<std::string>{"ChkPing.ZIP"});
}

}  // namespace
}  // namespace vardenix
