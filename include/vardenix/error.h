// The one exception type of Vardenix.
//
// Inside the library every run-time failure is a RuntimeError carrying a description that names
// what failed and why ("cannot write /srv/work/ChkPing.ZIP: Permission denied"). Each check turns
// it into its verdict in one handler; a C++ host sees it only when the entry point itself fails.
#pragma once

#include <stdexcept>
#include <string>

namespace vardenix {

class RuntimeError : public std::runtime_error {
 public:
  explicit RuntimeError(const std::string& description) : std::runtime_error(description) {}
  // The description as a check records it.
  std::string Description() const { return what(); }
};

}  // namespace vardenix
