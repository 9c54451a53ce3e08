#include "authoring/text_decoding.h"

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {

std::string Gb18030ToUtf8(std::string_view bytes, const std::string& what) {
  std::string out;
  size_t offset = 0;
  try {
    if (LegacyToUtf8(bytes, LegacyEncoding::kGb18030, out, &offset)) return out;
  } catch (const RuntimeError& e) {
    throw RuntimeError("cannot decode " + what + " as GB18030: " + e.what());
  }
  throw RuntimeError(what + " is neither UTF-8 nor GB18030 text (bad bytes at offset " + std::to_string(offset) + ")");
}

std::string DecodeTextFile(std::string_view bytes, const std::string& what) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return Gb18030ToUtf8(bytes, what);
}

}  // namespace vardenix
