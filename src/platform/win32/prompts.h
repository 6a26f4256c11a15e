// The Windows prompts backend: a message box with an OK button, through MessageBoxW.
#pragma once

#include <windows.h>

#include "platform/prompts.h"

namespace flotilla::platform {

class Win32Prompts : public Prompts {
 public:
  explicit Win32Prompts(HWND owner = nullptr) : owner_(owner) {}
  void ShowMessage(const std::string& text) override;

 private:
  HWND owner_;
};

}  // namespace flotilla::platform
