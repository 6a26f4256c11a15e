// The UTF-8 and UTF-16 conversions through the system's own converter.
#include "app/wide_text.h"

#include <windows.h>

namespace flotilla::app {

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const DWORD error = GetLastError();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  SetLastError(error);
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const DWORD error = GetLastError();
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  SetLastError(error);
  return narrow;
}

}  // namespace flotilla::app
