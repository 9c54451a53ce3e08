// Text decoding at the edge: files that people hand to the command (rule files, answer files) are
// UTF-8, or GB18030 when they were made on Chinese Windows. Everything past this point is UTF-8.
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vardenix {

// `bytes` decoded from GB18030 into UTF-8. Throws RuntimeError naming `what` (a file name, for the
// message) and the byte offset when the bytes are not GB18030 either.
std::string Gb18030ToUtf8(std::string_view bytes, const std::string& what);

// The text of a file as UTF-8: a leading UTF-8 byte-order mark is dropped; bytes that are not valid
// UTF-8 are decoded as GB18030. Throws RuntimeError naming `what` when they are neither.
std::string DecodeTextFile(std::string_view bytes, const std::string& what);

}  // namespace vardenix
