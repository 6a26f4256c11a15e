// The files seam: the host's files and directories, as staging, the image set and the NV
// backup use them. Paths are UTF-8 text; the Windows backend hands them to the wide functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// <windows.h> makes DeleteFile and ReplaceFile macros of the ANSI or wide calls. The seam's
// methods keep their own names in every file that includes both; a file that includes
// <windows.h> after this one fails to compile instead of linking to a renamed method.
#ifdef DeleteFile
#undef DeleteFile
#endif
#ifdef ReplaceFile
#undef ReplaceFile
#endif

namespace flotilla::platform {

// One opened file. Every operation reports failure by its result, never by throwing.
class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // True when all `count` bytes were written.
  virtual bool Write(const void* data, size_t count) = 0;
  // Bytes read into `buffer`, at most `count`; 0 at the end of the file or on failure.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Moves the read and write position to `offset` from the start. False on failure.
  virtual bool Seek(uint64_t offset) = 0;
  // The file's length in bytes; false when it cannot be taken.
  virtual bool Length(uint64_t& length) = 0;
  // Pushes what was written through to the disk. False on failure.
  virtual bool Flush() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // True when a directory search finds an entry of exactly this path (file or directory). No
  // special meaning for a trailing separator or a drive root: the callers apply their rules.
  virtual bool Exists(const std::string& path) = 0;
  // Creates one directory level (its parent must exist). False on failure, also when it exists.
  virtual bool CreateDirectoryLevel(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Opens an existing file for reading; nullptr on failure.
  virtual std::unique_ptr<FileHandle> OpenForReading(const std::string& path) = 0;
  // Creates the file, or truncates it when it exists, for writing; nullptr on failure.
  virtual std::unique_ptr<FileHandle> CreateForWriting(const std::string& path) = 0;
  // Puts `from` in the place of `to` in one step, replacing `to` when it exists, and not
  // before the move is on the disk. False (and both files as they were) on failure.
  virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;
  // The program's own file ("C:\Flotilla\flotilla.exe") and the current directory.
  virtual std::string ModuleFileName() = 0;
  virtual std::string CurrentDirectory() = 0;
};

}  // namespace flotilla::platform
