// Whether bytes are UTF-8: archive entry names, the component wire's texts and the tools' inputs
// are held to it. What is not UTF-8 comes from Chinese Windows, in CP936 (archive entry names) or
// GB18030 (text files the authoring tools read): one decoder for both, on iconv on Linux
// (text_encoding_iconv.cpp) and on the system's code pages on Windows.
// And the one ASCII case rule that ProgIDs, bank field names and Automation's "True"/"False" follow:
// only A-Z and a-z fold, every other byte (UTF-8 included) compares as it is. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vardenix {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// The encodings of Chinese Windows that texts arrive in when they are not UTF-8.
enum class LegacyEncoding {
  kCp936,    // GBK, the ANSI code page of Chinese Windows: zip entry names without the UTF-8 flag
  kGb18030,  // its superset, which covers all of Unicode: text files
};

// `bytes` decoded from `from` into UTF-8, in `out`. False when the bytes are not text in that
// encoding; `bad_offset`, when given, then gets the offset of the first byte that does not decode
// (0 where the system does not say). Throws RuntimeError when this system cannot decode `from`.
bool LegacyToUtf8(std::string_view bytes, LegacyEncoding from, std::string& out, size_t* bad_offset = nullptr);

// `text` with A-Z turned to a-z, and nothing else changed.
std::string AsciiLower(std::string_view text);

// True when `a` and `b` are equal once A-Z are turned to a-z.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace vardenix
