// UTF-8 inside the program, UTF-16 at the Win32 boundary: the two conversions every wide call uses.
#pragma once

#include <string>

namespace flotilla::platform {

// Invalid UTF-8 turns into U+FFFD rather than failing, so a path is never silently cut short.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
std::string Utf8FromWide(const wchar_t* text);

}  // namespace flotilla::platform
