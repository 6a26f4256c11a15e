// The user prompt seam: message boxes the core shows through the platform.
#pragma once

#include <string>
#include <vector>

namespace flotilla::platform {

class Prompts {
 public:
  virtual ~Prompts() = default;
  // A message box with an OK button; returns when the user has closed it.
  virtual void ShowMessage(const std::string& text) = 0;
};

// Keeps every message instead of showing it; for tests and tools without a window.
class RecordingPrompts : public Prompts {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  std::vector<std::string> messages;
};

}  // namespace flotilla::platform
