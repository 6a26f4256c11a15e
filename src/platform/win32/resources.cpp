// The Windows module resources backend.
#include "platform/win32/resources.h"

#include "platform/win32/wide_text.h"

namespace flotilla::platform {

bool Win32ModuleResources::Load(const std::string& type, int id, std::vector<uint8_t>& bytes) {
  bytes.clear();
  const std::wstring type_name = WideFromUtf8(type);
  // FindResourceW takes any language (the embedded files carry 2052), as FindResourceA did.
  HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type_name.c_str());
  if (!found) return false;
  HGLOBAL loaded = LoadResource(module_, found);
  if (!loaded) return false;
  const DWORD size = SizeofResource(module_, found);
  const void* data = LockResource(loaded);
  if (!data && size != 0) return false;
  const auto* first = static_cast<const uint8_t*>(data);
  bytes.assign(first, first + size);
  return true;
}

}  // namespace flotilla::platform
