#include "tests/support/fakes/report_reader.h"

#include <pugixml.hpp>

#include "platform/xml_dom.h"

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
  view.parses = SystemXmlDom().NewDocument()->LoadXml(xml);
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

namespace {

bool IsText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool HasElementChild(const pugi::xml_node& node) {
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) return true;
  }
  return false;
}

// The shape of `top`, in a loop over the tree so that a deep document cannot exhaust the stack.
std::string Shape(const pugi::xml_node& top) {
  std::string out = "<" + std::string(top.name()) + ">";
  std::vector<bool> has_element = {HasElementChild(top)};  // for each open element
  std::string run;
  const auto flush = [&] {
    if (!(has_element.back() && IsBlank(run))) out += run;
    run.clear();
  };
  pugi::xml_node parent = top;
  pugi::xml_node c = top.first_child();
  for (;;) {
    if (c) {
      if (IsText(c)) {
        run += c.value();
      } else {
        flush();
        if (c.type() == pugi::node_element) {
          out += "<" + std::string(c.name()) + ">";
          has_element.push_back(HasElementChild(c));
          parent = c;
          c = c.first_child();
          continue;
        }
      }
      c = c.next_sibling();
      continue;
    }
    flush();
    out += "</>";
    has_element.pop_back();
    if (parent == top) return out;
    c = parent.next_sibling();
    parent = parent.parent();
  }
}

}  // namespace

ReportShape ReadShape(const std::string& xml) {
  ReportShape shape;
  pugi::xml_document doc;
  const unsigned options = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments | pugi::parse_pi;
  if (!doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_utf8)) return shape;
  shape.parses = true;
  pugi::xml_node root = doc.document_element();
  shape.root = root.name();
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) shape.root_elements.push_back(Shape(c));
  }
  for (pugi::xml_node node = root; node;) {
    const bool entry = node.type() == pugi::node_element && std::string(node.name()) == "RuleErr";
    if (entry) shape.outermost_entries.push_back(Shape(node));
    pugi::xml_node next = entry ? pugi::xml_node() : node.first_child();
    if (!next) {
      pugi::xml_node up = node;
      while (up != root && !up.next_sibling()) up = up.parent();
      if (up != root) next = up.next_sibling();
    }
    node = next;
  }
  return shape;
}

}  // namespace vardenix::fakes
