// The platform tests' temporary folder: the shared test folder, and reading a file back as text.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/fakes/temp_dir.h"

namespace vardenix::testing {

using TempFolder = fakes::TempDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vardenix::testing
