// An in-memory file system for tests: files, directories, and the faults a disk has (a full
// disk, a directory that takes no new files, a replace that fails).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"

namespace flotilla::platform {

class MemoryFileSystem : public FileSystem {
 public:
  using Bytes = std::vector<uint8_t>;

  // Paths are compared as given, without regard to case, as on Windows.
  void SetFile(const std::string& path, Bytes bytes);
  void AddDirectory(const std::string& path);
  // Null when there is no such file.
  const Bytes* File(const std::string& path) const;
  bool HasDirectory(const std::string& path) const;
  std::vector<std::string> FileNames() const;

  // Faults: writes stop succeeding once this many bytes have been written in all (a full
  // disk); no file can be created in these directories; ReplaceFile fails.
  uint64_t space_left = UINT64_MAX;
  std::set<std::string> read_only_directories;
  bool fail_replace = false;
  std::string module_file_name = "C:\\Flotilla\\flotilla.exe";
  std::string current_directory = "C:\\Flotilla";

  bool Exists(const std::string& path) override;
  bool CreateDirectoryLevel(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  std::unique_ptr<FileHandle> OpenForReading(const std::string& path) override;
  std::unique_ptr<FileHandle> CreateForWriting(const std::string& path) override;
  bool ReplaceFile(const std::string& from, const std::string& to) override;
  std::string ModuleFileName() override { return module_file_name; }
  std::string CurrentDirectory() override { return current_directory; }

 private:
  friend class MemoryFile;
  static std::string Key(const std::string& path);
  static std::string ParentOf(const std::string& key);

  std::map<std::string, std::shared_ptr<Bytes>> files_;
  std::set<std::string> directories_;
};

}  // namespace flotilla::platform
