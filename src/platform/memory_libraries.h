// Libraries for tests: each one a table of functions under a path, with a count of the
// copies loaded and not yet released.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dynamic_library.h"

namespace flotilla::platform {

class MemoryLibraries : public DynamicLibraries {
 public:
  using Exports = std::map<std::string, LibraryFunction>;

  // A library at `path` (compared exactly) with `exports`.
  void Add(const std::string& path, Exports exports) {
    std::lock_guard<std::mutex> lock(mutex_);
    libraries_[path] = std::move(exports);
  }

  std::unique_ptr<DynamicLibrary> Load(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = libraries_.find(path);
    if (found == libraries_.end()) return nullptr;
    return std::make_unique<Loaded>(found->second, loaded_);
  }

  // Libraries loaded and not yet released.
  int LoadedCount() const { return loaded_; }

 private:
  class Loaded : public DynamicLibrary {
   public:
    Loaded(Exports exports, std::atomic<int>& loaded) : exports_(std::move(exports)), loaded_(loaded) {
      ++loaded_;
    }
    ~Loaded() override { --loaded_; }
    LibraryFunction Find(const std::string& name) override {
      auto found = exports_.find(name);
      return found == exports_.end() ? nullptr : found->second;
    }

   private:
    Exports exports_;
    std::atomic<int>& loaded_;
  };

  std::mutex mutex_;
  std::map<std::string, Exports> libraries_;
  std::atomic<int> loaded_{0};
};

}  // namespace flotilla::platform
