#include "report/mod_xml_rw.h"

#include <array>
#include <utility>

#include "vardenix/error.h"

namespace vardenix {
namespace {

bool IsBlankReport(const std::string& report) {
  // Only spaces count here; the report's other white space makes it non-blank.
  return report.find_first_not_of(' ') == std::string::npos;
}

std::unique_ptr<XmlDocument> NewDocument(XmlDom& dom) {
  std::unique_ptr<XmlDocument> doc = dom.NewDocument();
  if (!doc) throw RuntimeError("XML: cannot create a document");
  return doc;
}

// Appends every RuleErr of `piece`, wherever it stands there, to the root of `target`, in document
// order. False, with nothing appended, when `piece` does not parse.
bool AppendEntriesOf(XmlDom& dom, XmlDocument& target, const std::string& piece) {
  std::unique_ptr<XmlDocument> source = NewDocument(dom);
  if (!source->LoadXml(piece)) return false;
  // The list is taken once, so every entry arrives exactly once and in its order. An entry inside
  // another one arrives inside it, as part of it, and not a second time on its own.
  const std::vector<XmlNode> entries = source->GetOutermostElementsByTagName("RuleErr");
  XmlNode root = target.DocumentElement();
  for (const XmlNode& entry : entries) target.AppendChild(root, entry);
  return true;
}

}  // namespace

XmlNode CreateXmlNode(XmlDocument& doc, const std::string& name, const std::string& text) {
  XmlNode element = doc.CreateElement(name);
  doc.SetText(element, text);
  return element;
}

void AddRuleErr(std::string& report, const std::string& rule, const std::string& rule_err_info,
                const std::string& operation, const std::string& need_set,
                const std::string& user_set, const std::string& runtime, const std::string& format,
                XmlDom& dom) {
  if (IsBlankReport(report)) report = kReportSkeleton;

  std::unique_ptr<XmlDocument> doc = NewDocument(dom);
  if (!doc->LoadXml(report)) return;

  XmlNode root = doc->DocumentElement();
  XmlNode entry = doc->AppendChild(root, doc->CreateElement("RuleErr"));
  const std::array<std::pair<const char*, const std::string*>, 7> fields = {{
      {"Rule", &rule},
      {"RuleErrInfo", &rule_err_info},
      {"Operation", &operation},
      {"NeedSet", &need_set},
      {"UserSet", &user_set},
      {"Runtime", &runtime},
      {"Format", &format},
  }};
  for (const auto& [name, text] : fields) {
    doc->AppendChild(entry, CreateXmlNode(*doc, name, *text));
  }
  report = doc->Xml();
}

std::string MergeXml(const std::string& first, const std::string& second, XmlDom& dom) noexcept {
  if (first.empty() && second.empty()) return std::string();
  if (first.empty() || second.empty()) return first + second;
  try {
    std::unique_ptr<XmlDocument> merged = NewDocument(dom);
    if (!merged->LoadXml(first)) return first;
    if (!AppendEntriesOf(dom, *merged, second)) return first;
    return merged->Xml();
  } catch (...) {
    return std::string();
  }
}

ReportMerger::ReportMerger(std::string report, XmlDom& dom) : dom_(dom), text_(std::move(report)) {}

ReportMerger::~ReportMerger() = default;

void ReportMerger::Merge(const std::string& piece) noexcept {
  if (piece.empty()) return;  // merging an empty piece changes nothing, parsed or not
  try {
    if (doc_) {
      AppendEntriesOf(dom_, *doc_, piece);
      return;
    }
    if (text_.empty()) {
      text_ = piece;  // taken as it is, not parsed
      return;
    }
    if (unparseable_) return;
    std::unique_ptr<XmlDocument> merged = NewDocument(dom_);
    if (!merged->LoadXml(text_)) {
      unparseable_ = true;
      return;
    }
    // A piece that does not parse leaves the report as it is, character for character.
    if (AppendEntriesOf(dom_, *merged, piece)) doc_ = std::move(merged);
  } catch (...) {
    Reset();
  }
}

std::string ReportMerger::Result() noexcept {
  if (!doc_) return text_;
  try {
    return doc_->Xml();
  } catch (...) {
    Reset();
    return std::string();
  }
}

void ReportMerger::Reset() noexcept {
  doc_.reset();
  text_.clear();
  unparseable_ = false;
}

}  // namespace vardenix
