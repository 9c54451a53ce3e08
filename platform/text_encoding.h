// Whether bytes are UTF-8: archive entry names, the component wire's texts and the tools' inputs
// are held to it. Decoding text that is not UTF-8 is an authoring tool (authoring/text_decoding.h).
// Stateless; any thread.
#pragma once

#include <string_view>

namespace vardenix {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

}  // namespace vardenix
