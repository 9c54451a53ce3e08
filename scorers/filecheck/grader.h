// The grading of Vardenix.FileCheck: rules checked against the files under a folder.
//
// The grader looks at the folder through file descriptors and never follows a symbolic link, in
// the folder or below it: a link is neither a file nor a folder to it, and a path that runs
// through one names nothing. So no rule can reach outside the folder, whatever the folder holds.
// Names compare exactly, as the file system stores them.
//
// Stateless; any thread. The folder should not change while it is graded.
#pragma once

#include <string>
#include <vector>

#include "scorers/filecheck/rules.h"

namespace vardenix::filecheck {

struct Grading {
  // total_score x earned points / all points; exactly total_score when every rule is met, and
  // otherwise less than total_score even after rounding to single precision.
  double score = 0;
  // One line per unmet rule, each ending in CR LF; empty when every rule is met.
  std::string error_text;
  // A RuleErrs document with one RuleErr per unmet rule; empty when every rule is met.
  std::string error_xml;
};

// Grades the files under `folder` against `rules` on a scale of `total_score` (> 0).
// Throws std::runtime_error when `rules` is empty, when `folder` is not a folder that can be
// opened, or when the file system cannot answer for a path (other than it not being there).
Grading Grade(const std::string& folder, const std::vector<Rule>& rules, double total_score);

}  // namespace vardenix::filecheck
