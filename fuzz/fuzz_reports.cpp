// Hostile report strings through MergeXml (both ways) and AddRuleErr. The input is split at its
// first NUL into two reports. Whatever comes back is empty, one of the inputs, or a document that
// parses again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/xml_dom.h"
#include "report/mod_xml_rw.h"

namespace {

bool Parses(const std::string& text) {
  auto doc = vardenix::SystemXmlDom().NewDocument();
  return doc->LoadXml(text);
}

void CheckMerge(const std::string& a, const std::string& b) {
  const std::string merged = vardenix::MergeXml(a, b);
  if (merged.empty() || merged == a || merged == b || merged == a + b) return;
  if (!Parses(merged)) std::abort();
  // A merge result merges again.
  const std::string again = vardenix::MergeXml(merged, b);
  if (!again.empty() && again != merged && !Parses(again)) std::abort();
}

void CheckAdd(const std::string& report) {
  std::string r = report;
  vardenix::AddRuleErr(r, report, "<&>", "", "题面要求操作：", "", "\r\n", "]]>");
  if (r != report && !Parses(r)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string first = input.substr(0, nul);
  const std::string second = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  CheckMerge(first, second);
  CheckMerge(second, first);
  try {
    CheckAdd(first);
    CheckAdd(second);
  } catch (const std::exception&) {
    // A DOM failure is a documented outcome of AddRuleErr.
  }
  return 0;
}
