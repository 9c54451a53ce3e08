// SHA-256 of a file, for the HTML report's record of which banks a check read.
#pragma once

#include <string>

namespace vardenix::cli {

// The lower-case hex SHA-256 of the file's bytes; empty when it cannot be read.
std::string FileSha256(const std::string& path);
// The lower-case hex SHA-256 of `bytes`.
std::string Sha256Hex(const std::string& bytes);

}  // namespace vardenix::cli
