// The Windows module resources backend: FindResourceW/LoadResource/SizeofResource.
#pragma once

#include <windows.h>

#include "platform/host_services.h"

namespace flotilla::platform {

class Win32ModuleResources : public ModuleResources {
 public:
  // The resources of `module`; nullptr is the program's own file.
  explicit Win32ModuleResources(HMODULE module = nullptr) : module_(module) {}
  bool Load(const std::string& type, int id, std::vector<uint8_t>& bytes) override;

 private:
  HMODULE module_;
};

}  // namespace flotilla::platform
