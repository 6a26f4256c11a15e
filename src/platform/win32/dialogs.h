// The Windows file dialogs: the shell's folder browser and the common file-open dialog.
#pragma once

#include <windows.h>

#include <string>

#include "platform/host_services.h"

namespace flotilla::platform {

class Win32FileDialogs : public FileDialogs {
 public:
  // `owner`: the window the dialogs belong to (nullptr: none).
  explicit Win32FileDialogs(HWND owner = nullptr) : owner_(owner) {}
  std::optional<std::string> BrowseForFolder(const std::string& title) override;
  std::optional<std::string> ChooseFileToOpen(const std::string& filter) override;

 private:
  HWND owner_;
};

// "NV files (*.nvm)|*.nvm||" in the form GetOpenFileNameW takes: each "|" a zero character, the
// whole ended by two zero characters.
std::wstring OpenDialogFilter(const std::string& filter);

}  // namespace flotilla::platform
