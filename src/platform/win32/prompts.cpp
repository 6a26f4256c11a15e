// The Windows prompts backend.
#include "platform/win32/prompts.h"

#include "platform/win32/wide_text.h"

namespace flotilla::platform {

void Win32Prompts::ShowMessage(const std::string& text) {
  // The application's message box: its title is the program's name, as the window's is.
  MessageBoxW(owner_, WideFromUtf8(text).c_str(), WideFromUtf8(caption_).c_str(), MB_OK);
}

}  // namespace flotilla::platform
