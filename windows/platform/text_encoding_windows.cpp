// LegacyToUtf8 on the system's code pages (936 for CP936, 54936 for GB18030); the Linux build
// decodes with iconv (platform/text_encoding_iconv.cpp).
#include <string>

#include "platform/text_encoding.h"
#include "vardenix/error.h"
#include "windows/platform/wide_text.h"

namespace vardenix {

bool LegacyToUtf8(std::string_view bytes, LegacyEncoding from, std::string& out, size_t* bad_offset) {
  out.clear();
  if (bytes.empty()) return true;
  const UINT page = from == LegacyEncoding::kCp936 ? 936 : 54936;
  const int in_size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), in_size, nullptr, 0);
  if (n <= 0) {
    const DWORD err = GetLastError();
    if (err == ERROR_INVALID_PARAMETER) {
      throw RuntimeError("cannot decode code page " + std::to_string(page) + " on this system: " +
                         win::SystemMessage(err));
    }
    if (bad_offset != nullptr) *bad_offset = 0;
    return false;
  }
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), in_size, wide.data(), n);
  out = win::Narrow(wide);
  return true;
}

}  // namespace vardenix
