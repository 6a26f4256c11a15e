// CRegistryKey: holder of at most one open local-machine registry key.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace flotilla::discovery {

class CRegistryKey {
 public:
  explicit CRegistryKey(platform::Registry& registry) : registry_(registry) {}
  ~CRegistryKey() { Close(); }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  // Opens `path`; only a successful open replaces (and closes) the key held so far.
  long Open(const std::string& path, uint32_t access);
  long ReadNumber(const std::string& name, uint32_t& value);
  // `size`: the capacity in, the bytes stored out.
  long ReadValue(const std::string& name, uint8_t* data, uint32_t& size);
  // 0 when nothing was open.
  long Close();
  bool IsOpen() const { return key_ != 0; }

 private:
  platform::Registry& registry_;
  platform::RegistryHandle key_ = 0;
};

}  // namespace flotilla::discovery
