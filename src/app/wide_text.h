// UTF-8 inside the program, UTF-16 at the Win32 boundary: the two conversions.
#pragma once

#include <string>

namespace flotilla::app {

// Invalid UTF-8 becomes U+FFFD; an empty text stays empty. GetLastError is kept.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace flotilla::app
