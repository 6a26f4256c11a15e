// The Windows registry: the local-machine hive through the ANSI registry calls.
#pragma once

#include "platform/registry.h"

namespace flotilla::platform {

class Win32Registry : public Registry {
 public:
  long OpenLocalMachineKey(const std::string& path, uint32_t access,
                           RegistryHandle& key) override;
  long QueryValue(RegistryHandle key, const std::string& name, uint8_t* data,
                  uint32_t& size) override;
  long CloseKey(RegistryHandle key) override;
};

}  // namespace flotilla::platform
