// The Windows files backend: every path goes through the wide (W) functions.
#pragma once

// First, so that platform/files.h takes back the two names <windows.h> makes macros of.
#include <windows.h>

#include "platform/files.h"

namespace flotilla::platform {

class Win32FileSystem : public FileSystem {
 public:
  bool Exists(const std::string& path) override;
  bool CreateDirectoryLevel(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  std::unique_ptr<FileHandle> OpenForReading(const std::string& path) override;
  std::unique_ptr<FileHandle> CreateForWriting(const std::string& path) override;
  bool ReplaceFile(const std::string& from, const std::string& to) override;
  std::string ModuleFileName() override;
  std::string CurrentDirectory() override;
};

}  // namespace flotilla::platform
