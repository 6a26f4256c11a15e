// An in-memory registry for tests and the in-process simulated stick.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace flotilla::platform {

class MemoryRegistry : public Registry {
 public:
  // Key paths compare without regard to letter case, as the Windows registry's do.
  void SetString(const std::string& key, const std::string& name, const std::string& value,
                 bool terminated = true);
  void SetDword(const std::string& key, const std::string& name, uint32_t value);
  void SetBinary(const std::string& key, const std::string& name, std::vector<uint8_t> value);
  void CreateKey(const std::string& key);
  void DeleteKey(const std::string& key);  // with its subkeys
  void DenyAccess(bool deny) { deny_ = deny; }
  void Clear();  // every key; open handles then see their keys gone

  long OpenLocalMachineKey(const std::string& path, uint32_t access,
                           RegistryHandle& key) override;
  long QueryValue(RegistryHandle key, const std::string& name, uint8_t* data,
                  uint32_t& size) override;
  long CloseKey(RegistryHandle key) override;

  size_t OpenKeyCount() const;

 private:
  static std::string Fold(const std::string& text);

  mutable std::mutex mutex_;
  std::map<std::string, std::map<std::string, std::vector<uint8_t>>> keys_;
  std::map<RegistryHandle, std::string> open_;
  RegistryHandle next_ = 1;
  bool deny_ = false;
};

}  // namespace flotilla::platform
