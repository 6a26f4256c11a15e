// The registry seam: keys of the local-machine hive, opened by path, read by value name.
#pragma once

#include <cstdint>
#include <string>

namespace flotilla::platform {

// An opened key; 0 means none. Results are system error codes, 0 on success.
using RegistryHandle = uintptr_t;

constexpr long kRegistryOk = 0;
constexpr long kRegistryFileNotFound = 2;    // ERROR_FILE_NOT_FOUND
constexpr long kRegistryAccessDenied = 5;    // ERROR_ACCESS_DENIED
constexpr long kRegistryMoreData = 234;      // ERROR_MORE_DATA
constexpr long kRegistryInvalidHandle = 6;   // ERROR_INVALID_HANDLE
constexpr uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS
// Added to an access mask: the 32-bit programs' view of the hive (KEY_WOW64_32KEY), where a
// 64-bit program finds what a 32-bit installer wrote.
constexpr uint32_t kKeyWow64_32Key = 0x0200;

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens `path` under HKEY_LOCAL_MACHINE with the access mask.
  virtual long OpenLocalMachineKey(const std::string& path, uint32_t access,
                                   RegistryHandle& key) = 0;
  // Reads value `name` into `data`; `size` is the capacity in, the bytes stored out. A value
  // larger than the capacity fails with kRegistryMoreData.
  virtual long QueryValue(RegistryHandle key, const std::string& name, uint8_t* data,
                          uint32_t& size) = 0;
  virtual long CloseKey(RegistryHandle key) = 0;
};

}  // namespace flotilla::platform
