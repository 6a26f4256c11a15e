// The Windows dynamic library backend.
#include "platform/win32/dynamic_library.h"

#include <windows.h>

#include <cctype>

#include "platform/win32/wide_text.h"

namespace flotilla::platform {
namespace {

// "C:\..." or a UNC path "\\server\...".
bool IsAbsolutePath(const std::string& path) {
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                     path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const bool unc = path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
  return drive || unc;
}

class Win32Library : public DynamicLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }
  Win32Library(const Win32Library&) = delete;
  Win32Library& operator=(const Win32Library&) = delete;

  LibraryFunction Find(const std::string& name) override {
    // GetProcAddress hands every export out as one generic function type.
    return reinterpret_cast<LibraryFunction>(GetProcAddress(module_, name.c_str()));
  }

 private:
  HMODULE module_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> Win32Libraries::Load(const std::string& path) {
  if (!IsAbsolutePath(path)) return nullptr;
  HMODULE module = LoadLibraryW(WideFromUtf8(path).c_str());
  if (module == nullptr) return nullptr;
  return std::make_unique<Win32Library>(module);
}

}  // namespace flotilla::platform
