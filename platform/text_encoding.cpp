#include "platform/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "vardenix/error.h"

namespace vardenix {

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::string Gb18030ToUtf8(std::string_view bytes, const std::string& what) {
  iconv_t cd = iconv_open("UTF-8", "GB18030");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw RuntimeError("cannot decode " + what + " as GB18030: " + std::strerror(errno));
  }
  std::string out;
  // GB18030 takes 1 to 4 bytes for a character whose UTF-8 form takes 1 to 4 bytes; 2x is ample,
  // and the loop grows the buffer anyway.
  out.resize(bytes.size() * 2 + 16);
  char* in_ptr = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  size_t used = 0;
  while (in_left > 0) {
    char* out_ptr = out.data() + used;
    size_t out_left = out.size() - used;
    const size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    used = out.size() - out_left;
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    const size_t offset = bytes.size() - in_left;
    iconv_close(cd);
    throw RuntimeError(what + " is neither UTF-8 nor GB18030 text (bad bytes at offset " +
                       std::to_string(offset) + ")");
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::string DecodeTextFile(std::string_view bytes, const std::string& what) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return Gb18030ToUtf8(bytes, what);
}

}  // namespace vardenix
