// The dynamic library seam: a library loaded by its path, its exports looked up, released.
#pragma once

#include <memory>
#include <string>

namespace flotilla::platform {

// An export as the loader hands it out; the caller converts it to the function type the
// library documents before calling it.
using LibraryFunction = void (*)();

// One loaded library; destroying it releases the library, after which no function looked up
// in it may be called any more.
class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The export named `name`; nullptr when the library has none.
  virtual LibraryFunction Find(const std::string& name) = 0;
};

class DynamicLibraries {
 public:
  virtual ~DynamicLibraries() = default;
  // Loads the library at the absolute path `path`; nullptr when it cannot be loaded.
  virtual std::unique_ptr<DynamicLibrary> Load(const std::string& path) = 0;
};

}  // namespace flotilla::platform
