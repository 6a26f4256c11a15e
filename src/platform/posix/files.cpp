// The POSIX files backend: open/read/write/fsync/rename on the host's file system.
#include "platform/posix/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace flotilla::platform {
namespace {

class PosixFile : public FileHandle {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  bool Write(const void* data, size_t count) override {
    const auto* bytes = static_cast<const char*>(data);
    while (count > 0) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      count -= static_cast<size_t>(n);
    }
    return true;
  }
  size_t Read(void* buffer, size_t count) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  }
  bool Seek(uint64_t offset) override {
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }
  bool Length(uint64_t& length) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    length = static_cast<uint64_t>(st.st_size);
    return true;
  }
  bool Flush() override { return ::fsync(fd_) == 0; }

 private:
  int fd_;
};

// The directory that holds `path`, for syncing a rename into it.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0;
}

bool PosixFileSystem::CreateDirectoryLevel(const std::string& path) {
  return ::mkdir(NativePath(path).c_str(), 0755) == 0;
}

bool PosixFileSystem::DeleteFile(const std::string& path) {
  return ::unlink(NativePath(path).c_str()) == 0;
}

std::unique_ptr<FileHandle> PosixFileSystem::OpenForReading(const std::string& path) {
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd);
}

std::unique_ptr<FileHandle> PosixFileSystem::CreateForWriting(const std::string& path) {
  const int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd);
}

bool PosixFileSystem::ReplaceFile(const std::string& from, const std::string& to) {
  const std::string target = NativePath(to);
  if (::rename(NativePath(from).c_str(), target.c_str()) != 0) return false;
  // The rename itself reaches the disk only with its directory.
  const int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::string PosixFileSystem::ModuleFileName() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string PosixFileSystem::CurrentDirectory() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

}  // namespace flotilla::platform
