// Reads a RuleErrs report back into its entries, for the outputs that show a report's entries one
// by one (the command's HTML report), and says why a report does not parse.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vardenix {

// One RuleErr: its child elements as (name, text) pairs, in document order.
using RuleErrFields = std::vector<std::pair<std::string, std::string>>;

struct RuleErrReading {
  bool parses = false;
  std::string problem;                 // when it does not parse: what is wrong and where
  std::vector<RuleErrFields> entries;  // every RuleErr anywhere in the document, in order
};

// An empty report parses and has no entries. No DTD processing, no entity expansion.
RuleErrReading ReadRuleErrs(const std::string& report);

}  // namespace vardenix
