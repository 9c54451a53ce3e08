#include "platform/rule_err_reader.h"

#include <pugixml.hpp>

namespace vardenix {

RuleErrReading ReadRuleErrs(const std::string& report) {
  RuleErrReading reading;
  if (report.find_first_not_of(" \t\r\n") == std::string::npos) {
    reading.parses = true;
    return reading;
  }
  pugi::xml_document doc;
  const pugi::xml_parse_result result =
      doc.load_buffer(report.data(), report.size(), pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
  if (!result || !doc.document_element()) {
    reading.problem = std::string(result ? "no root element" : result.description()) + " at byte " +
                      std::to_string(result.offset);
    return reading;
  }
  reading.parses = true;
  for (const pugi::xpath_node& node : doc.select_nodes("//RuleErr")) {
    RuleErrFields fields;
    for (const pugi::xml_node& child : node.node().children()) {
      if (child.type() != pugi::node_element) continue;
      fields.emplace_back(child.name(), child.child_value());
    }
    reading.entries.push_back(std::move(fields));
  }
  return reading;
}

}  // namespace vardenix
