// Reads a report string back for tests: whether it parses, its root's name, and for every RuleErr
// that is a direct child of the root its children as (name, text) pairs in order.
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

}  // namespace vardenix::fakes
