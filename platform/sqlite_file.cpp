#include "platform/sqlite_file.h"

namespace vardenix {

std::string SqliteFileUri(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  // An absolute path gets an empty authority ("file:///srv/x"); a relative one stays relative.
  std::string uri = (!path.empty() && path[0] == '/') ? "file://" : "file:";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                            c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (unreserved) {
      uri += ch;
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0x0F];
    }
  }
  return uri;
}

}  // namespace vardenix
