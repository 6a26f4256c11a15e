// The Windows file dialogs.
#include "platform/win32/dialogs.h"

#include <commdlg.h>
#include <shlobj.h>

#include <vector>

#include "platform/win32/wide_text.h"

namespace flotilla::platform {

std::wstring OpenDialogFilter(const std::string& filter) {
  std::wstring wide = WideFromUtf8(filter);
  for (wchar_t& c : wide)
    if (c == L'|') c = L'\0';
  // Whatever the caller ended it with, two zero characters end the list.
  while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
  wide.push_back(L'\0');
  wide.push_back(L'\0');
  return wide;
}

std::optional<std::string> Win32FileDialogs::BrowseForFolder(const std::string& title) {
  const std::wstring wide_title = WideFromUtf8(title);
  wchar_t display_name[MAX_PATH] = {};
  BROWSEINFOW info = {};
  info.hwndOwner = owner_;
  info.pszDisplayName = display_name;
  info.lpszTitle = wide_title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (!chosen) return std::nullopt;
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(chosen, path) != 0;
  CoTaskMemFree(chosen);
  if (!ok) return std::nullopt;
  return Utf8FromWide(path);
}

std::optional<std::string> Win32FileDialogs::ChooseFileToOpen(const std::string& filter) {
  const std::wstring wide_filter = OpenDialogFilter(filter);
  // Room for a long path; the dialog fails rather than cutting a longer one short.
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW info = {};
  info.lStructSize = sizeof info;
  info.hwndOwner = owner_;
  info.lpstrFilter = wide_filter.c_str();
  info.nFilterIndex = 1;
  info.lpstrFile = file.data();
  info.nMaxFile = static_cast<DWORD>(file.size());
  info.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&info)) return std::nullopt;
  return Utf8FromWide(file.data());
}

}  // namespace flotilla::platform
