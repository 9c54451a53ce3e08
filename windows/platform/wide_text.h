// Text across the Windows boundary: the core speaks UTF-8, Win32 and COM speak UTF-16.
//
// Conversions never fail: an unpaired surrogate or a byte that is not UTF-8 becomes U+FFFD, so
// every valid text round-trips unchanged. Helpers are stateless and safe on any thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace vardenix::win {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* text, size_t length);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

// A new BSTR holding the text (the caller frees it); null only when memory runs out.
BSTR MakeBstr(const std::string& utf8);
// The text of a BSTR (a null BSTR is the empty text); embedded NULs are kept.
std::string FromBstr(BSTR text);

// The system's message for a Win32 error or HRESULT, in English when the system has it, without
// the trailing line end ("Access is denied.").
std::string SystemMessage(DWORD code);

}  // namespace vardenix::win
