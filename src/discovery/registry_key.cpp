// CRegistryKey.
#include "discovery/registry_key.h"

#include "protocol/byte_order.h"

namespace flotilla::discovery {

long CRegistryKey::Open(const std::string& path, uint32_t access) {
  platform::RegistryHandle opened = 0;
  long rc = registry_.OpenLocalMachineKey(path, access, opened);
  if (rc != platform::kRegistryOk) return rc;
  Close();
  key_ = opened;
  return rc;
}

long CRegistryKey::ReadNumber(const std::string& name, uint32_t& value) {
  uint8_t bytes[4] = {};
  uint32_t size = sizeof bytes;
  long rc = ReadValue(name, bytes, size);
  if (rc == platform::kRegistryOk) value = protocol::ReadLe32(bytes);
  return rc;
}

long CRegistryKey::ReadValue(const std::string& name, uint8_t* data, uint32_t& size) {
  if (!key_) return platform::kRegistryInvalidHandle;
  return registry_.QueryValue(key_, name, data, size);
}

long CRegistryKey::Close() {
  if (!key_) return 0;
  long rc = registry_.CloseKey(key_);
  key_ = 0;
  return rc;
}

}  // namespace flotilla::discovery
