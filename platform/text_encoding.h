// Whether bytes are UTF-8: archive entry names, the component wire's texts and the tools' inputs
// are held to it. Decoding text that is not UTF-8 is an authoring tool (authoring/text_decoding.h).
// And the one ASCII case rule that ProgIDs, bank field names and Automation's "True"/"False" follow:
// only A-Z and a-z fold, every other byte (UTF-8 included) compares as it is. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vardenix {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// `text` with A-Z turned to a-z, and nothing else changed.
std::string AsciiLower(std::string_view text);

// True when `a` and `b` are equal once A-Z are turned to a-z.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace vardenix
