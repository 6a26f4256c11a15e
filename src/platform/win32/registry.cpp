// The Windows registry.
#include "platform/win32/registry.h"

#include <windows.h>

namespace flotilla::platform {

long Win32Registry::OpenLocalMachineKey(const std::string& path, uint32_t access,
                                        RegistryHandle& key) {
  HKEY opened = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &opened);
  if (rc == ERROR_SUCCESS) key = reinterpret_cast<RegistryHandle>(opened);
  return rc;
}

long Win32Registry::QueryValue(RegistryHandle key, const std::string& name, uint8_t* data,
                               uint32_t& size) {
  DWORD bytes = size;
  LONG rc = RegQueryValueExA(reinterpret_cast<HKEY>(key), name.c_str(), nullptr, nullptr, data,
                             &bytes);
  size = bytes;
  return rc;
}

long Win32Registry::CloseKey(RegistryHandle key) {
  return RegCloseKey(reinterpret_cast<HKEY>(key));
}

}  // namespace flotilla::platform
