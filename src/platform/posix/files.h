// The POSIX files backend: the host's own file system, with Windows separators turned round.
#pragma once

#include "platform/files.h"

namespace flotilla::platform {

class PosixFileSystem : public FileSystem {
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

// "C:\a\b" paths built with the program's formats name "C:/a/b" here.
std::string NativePath(const std::string& path);

}  // namespace flotilla::platform
