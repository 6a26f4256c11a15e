// The Windows dynamic library backend: LoadLibraryW, GetProcAddress and FreeLibrary.
#pragma once

#include "platform/dynamic_library.h"

namespace flotilla::platform {

class Win32Libraries : public DynamicLibraries {
 public:
  // Refuses a path that is not absolute, so the loader never searches the current or the
  // program's directory or PATH for a library of that name.
  std::unique_ptr<DynamicLibrary> Load(const std::string& path) override;
};

}  // namespace flotilla::platform
