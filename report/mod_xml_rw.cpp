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

  std::unique_ptr<XmlDocument> doc = dom.NewDocument();
  if (!doc) throw RuntimeError("XML: cannot create a document");
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
    std::unique_ptr<XmlDocument> a = dom.NewDocument();
    if (!a) return std::string();
    if (!a->LoadXml(first)) return first;
    std::unique_ptr<XmlDocument> b = dom.NewDocument();
    if (!b) return std::string();
    if (!b->LoadXml(second)) return first;

    // The list is taken once, so every entry of B arrives exactly once and in B's order.
    const std::vector<XmlNode> entries = b->GetElementsByTagName("RuleErr");
    XmlNode root = a->DocumentElement();
    for (const XmlNode& entry : entries) a->AppendChild(root, entry);
    return a->Xml();
  } catch (...) {
    return std::string();
  }
}

ReportMerger::ReportMerger(std::string report, XmlDom& dom) : dom_(dom), text_(std::move(report)) {}

ReportMerger::~ReportMerger() = default;

void ReportMerger::Merge(const std::string& piece) noexcept {
  if (piece.empty()) return;  // merging an empty piece changes nothing, parsed or not
  try {
    if (!doc_) {
      if (text_.empty()) {
        text_ = piece;  // taken as it is, not parsed
        return;
      }
      if (unparseable_) return;
      std::unique_ptr<XmlDocument> a = dom_.NewDocument();
      if (!a) throw RuntimeError("XML: cannot create a document");
      if (!a->LoadXml(text_)) {
        unparseable_ = true;
        return;
      }
      std::unique_ptr<XmlDocument> b = dom_.NewDocument();
      if (!b) throw RuntimeError("XML: cannot create a document");
      // A piece that does not parse leaves the report as it is, character for character.
      if (!b->LoadXml(piece)) return;
      XmlNode root = a->DocumentElement();
      for (const XmlNode& entry : b->GetElementsByTagName("RuleErr")) a->AppendChild(root, entry);
      doc_ = std::move(a);
      return;
    }
    std::unique_ptr<XmlDocument> b = dom_.NewDocument();
    if (!b) throw RuntimeError("XML: cannot create a document");
    if (!b->LoadXml(piece)) return;
    XmlNode root = doc_->DocumentElement();
    for (const XmlNode& entry : b->GetElementsByTagName("RuleErr")) doc_->AppendChild(root, entry);
  } catch (...) {
    doc_.reset();
    text_.clear();
    unparseable_ = false;
  }
}

std::string ReportMerger::Result() noexcept {
  if (!doc_) return text_;
  try {
    return doc_->Xml();
  } catch (...) {
    doc_.reset();
    text_.clear();
    unparseable_ = false;
    return std::string();
  }
}

}  // namespace vardenix
