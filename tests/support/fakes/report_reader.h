// Reads a report string back for tests through pugixml, a reader independent of the system DOM:
// whether it parses (and the system DOM holds it well-formed too), its root's name, and for every
// RuleErr that is a direct child of the root its children as (name, text) pairs in order.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vardenix::fakes {

struct ReportView {
  bool parses = false;
  bool has_declaration = false;
  std::string declared_encoding;
  std::string root;
  std::vector<std::vector<std::pair<std::string, std::string>>> entries;
  // Texts of one field of every entry, in order.
  std::vector<std::string> Field(const std::string& name) const;
};

ReportView ReadReport(const std::string& xml);

// The shape of a well-formed document as the report routines must keep it, read through pugixml:
// each element is written as its name, its content and an end mark; a run of adjacent texts is one
// text, and a run made only of white space beside an element is layout and left out. Comments and
// processing instructions are left out too.
struct ReportShape {
  bool parses = false;
  std::string root;
  std::vector<std::string> root_elements;      // the shape of each element child of the root
  std::vector<std::string> outermost_entries;  // each RuleErr not inside another, in document order
};

ReportShape ReadShape(const std::string& xml);

}  // namespace vardenix::fakes
