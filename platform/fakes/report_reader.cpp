#include "platform/fakes/report_reader.h"

#include <pugixml.hpp>

namespace vardenix::fakes {

std::vector<std::string> ReportView::Field(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& entry : entries) {
    for (const auto& [child, text] : entry) {
      if (child == name) out.push_back(text);
    }
  }
  return out;
}

ReportView ReadReport(const std::string& xml) {
  ReportView view;
  pugi::xml_document doc;
  const unsigned options = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_declaration | pugi::parse_ws_pcdata_single;
  if (!doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_utf8)) return view;
  view.parses = true;
  for (pugi::xml_node node : doc.children()) {
    if (node.type() == pugi::node_declaration) {
      view.has_declaration = true;
      view.declared_encoding = node.attribute("encoding").value();
    }
  }
  pugi::xml_node root = doc.document_element();
  view.root = root.name();
  for (pugi::xml_node entry : root.children("RuleErr")) {
    std::vector<std::pair<std::string, std::string>> children;
    for (pugi::xml_node child : entry.children()) {
      if (child.type() == pugi::node_element) children.emplace_back(child.name(), child.text().get());
    }
    view.entries.push_back(std::move(children));
  }
  return view;
}

}  // namespace vardenix::fakes
