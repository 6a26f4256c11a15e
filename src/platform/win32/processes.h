// The Windows process backend: ShellExecuteExW with the process handle, WaitForSingleObject.
#pragma once

#include "platform/host_services.h"

namespace flotilla::platform {

class Win32Processes : public Processes {
 public:
  bool StartAndWait(const std::string& file, const std::string& parameters,
                    const std::string& directory, uint32_t wait_ms, bool& finished) override;
  std::string SystemDirectory() override;
};

}  // namespace flotilla::platform
