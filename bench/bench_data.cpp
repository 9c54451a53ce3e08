#include "bench/bench_data.h"

#include <random>

#include "authoring/zip_writer.h"
#include "tests/support/fakes/temp_dir.h"
#include "report/mod_xml_rw.h"

namespace vardenix::bench {
namespace {

std::string EntryXml(int index) {
  const std::string n = std::to_string(index);
  return "  <RuleErr>\n"
         "    <Rule>" + n + " exists 第" + n + "题/answer.docx</Rule>\n"
         "    <RuleErrInfo>文件 第" + n + "题/answer.docx 不存在</RuleErrInfo>\n"
         "    <Operation>检查考生文件夹中的文件</Operation>\n"
         "    <NeedSet>题面要求操作：第" + n + "题/answer.docx 存在&#13;\n</NeedSet>\n"
         "    <UserSet>实际操作结果：文件不存在&#13;\n</UserSet>\n"
         "    <Runtime />\n"
         "    <Format />\n"
         "  </RuleErr>\n";
}

std::string TextBytes(size_t size, std::mt19937& rng) {
  static const char* const kWords[] = {"考试 ", "题目 ", "answer ", "document ", "表格 ", "formula ",
                                       "段落 ", "paragraph ", "字体 ", "margin ", "12pt ", "<w:p> "};
  std::string text;
  while (text.size() < size) text += kWords[rng() % (sizeof kWords / sizeof *kWords)];
  text.resize(size);
  return text;
}

std::string RandomBytes(size_t size, std::mt19937& rng) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

}  // namespace

std::string ReportWithEntries(int entries) {
  if (entries <= 0) return std::string();
  std::string text = "<?xml version=\"1.0\" encoding=\"gb2312\" ?>\n<RuleErrs>\n";
  for (int i = 1; i <= entries; ++i) text += EntryXml(i);
  text += "</RuleErrs>\n";
  // One round through the routines gives exactly the form they write (layout, escapes).
  return MergeXml(text, kReportSkeleton);
}

std::string OneEntryReport() { return ReportWithEntries(1); }

std::vector<uint8_t> AnswerArchive(int files, size_t bytes_each) {
  fakes::TempDir dir;
  fakes::MakeDirs(dir / "doc");
  fakes::MakeDirs(dir / "data");
  std::mt19937 rng(20240601u + static_cast<uint32_t>(files));
  for (int i = 0; i < files; ++i) {
    if (i % 2 == 0) {
      fakes::WriteFileText(dir / ("doc/part" + std::to_string(i) + ".txt"), TextBytes(bytes_each, rng));
    } else {
      fakes::WriteFileText(dir / ("data/blob" + std::to_string(i) + ".bin"), RandomBytes(bytes_each, rng));
    }
  }
  return ZipFolder(dir.path());
}

}  // namespace vardenix::bench
