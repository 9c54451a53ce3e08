// LegacyToUtf8 on iconv (glibc's converters). The Windows build decodes with the system's code
// pages instead (windows/platform/text_encoding_windows.cpp).
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// One converter per encoding and thread: opening one costs more than decoding a name.
class Converter {
 public:
  explicit Converter(const char* from) : from_(from), cd_(iconv_open("UTF-8", from)), open_errno_(errno) {}
  ~Converter() {
    if (cd_ != kNone) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  iconv_t Ready() {
    if (cd_ == kNone) {
      throw RuntimeError(std::string("cannot decode ") + from_ + " on this system: " + std::strerror(open_errno_));
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    return cd_;
  }

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  const char* from_;
  iconv_t cd_;
  int open_errno_;
};

}  // namespace

bool LegacyToUtf8(std::string_view bytes, LegacyEncoding from, std::string& out, size_t* bad_offset) {
  thread_local Converter cp936("CP936");
  thread_local Converter gb18030("GB18030");
  const iconv_t cd = (from == LegacyEncoding::kCp936 ? cp936 : gb18030).Ready();
  // A character of 1 to 4 bytes takes at most 4 in UTF-8; twice the input is ample for CP936 (1 or 2
  // bytes, at most 3 in UTF-8), and the buffer grows when it is not.
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
    if (bad_offset != nullptr) *bad_offset = bytes.size() - in_left;
    out.clear();
    return false;
  }
  out.resize(used);
  return true;
}

}  // namespace vardenix
