#include "authoring/text_decoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {

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
