// The Windows prompts backend: a message box with an OK button, through MessageBoxW.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "platform/prompts.h"

namespace flotilla::platform {

class Win32Prompts : public Prompts {
 public:
  // `caption`: the title of every box, the program's name as its window shows it (UTF-8).
  explicit Win32Prompts(std::string caption, HWND owner = nullptr)
      : caption_(std::move(caption)), owner_(owner) {}
  void ShowMessage(const std::string& text) override;

 private:
  std::string caption_;
  HWND owner_;
};

}  // namespace flotilla::platform
