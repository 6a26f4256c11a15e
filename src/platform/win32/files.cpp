// The Windows files backend: CreateFileW and friends, UTF-8 paths widened at the boundary.
#include "platform/win32/files.h"

#include <vector>

#include "platform/win32/wide_text.h"

namespace flotilla::platform {
namespace {

// One WriteFile/ReadFile moves at most this much, well inside a DWORD.
constexpr size_t kChunkBytes = 1u << 30;

class Win32File : public FileHandle {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  bool Write(const void* data, size_t count) override {
    const auto* bytes = static_cast<const char*>(data);
    while (count > 0) {
      const DWORD chunk = static_cast<DWORD>(count < kChunkBytes ? count : kChunkBytes);
      DWORD written = 0;
      // A full disk shows as a failed or a short write; both end the write as failed.
      if (!WriteFile(handle_, bytes, chunk, &written, nullptr) || written == 0) return false;
      bytes += written;
      count -= written;
    }
    return true;
  }
  size_t Read(void* buffer, size_t count) override {
    const DWORD chunk = static_cast<DWORD>(count < kChunkBytes ? count : kChunkBytes);
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, chunk, &read, nullptr)) return 0;
    return read;
  }
  bool Seek(uint64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN) != 0;
  }
  bool Length(uint64_t& length) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) return false;
    length = static_cast<uint64_t>(size.QuadPart);
    return true;
  }
  bool Flush() override { return FlushFileBuffers(handle_) != 0; }

 private:
  HANDLE handle_;
};

std::unique_ptr<FileHandle> Open(const std::string& path, DWORD access, DWORD share,
                                 DWORD disposition) {
  const HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), access, share, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32File>(handle);
}

}  // namespace

bool Win32FileSystem::Exists(const std::string& path) {
  // A directory search: it finds files and directories alike, and finds nothing
  // for a drive root or a path that ends in a separator (the callers' rules take care of those).
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(WideFromUtf8(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool Win32FileSystem::CreateDirectoryLevel(const std::string& path) {
  return CreateDirectoryW(WideFromUtf8(path).c_str(), nullptr) != 0;
}

bool Win32FileSystem::DeleteFile(const std::string& path) {
  return DeleteFileW(WideFromUtf8(path).c_str()) != 0;
}

std::unique_ptr<FileHandle> Win32FileSystem::OpenForReading(const std::string& path) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

std::unique_ptr<FileHandle> Win32FileSystem::CreateForWriting(const std::string& path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
}

bool Win32FileSystem::ReplaceFile(const std::string& from, const std::string& to) {
  // Write-through: the call returns only once the move is on the disk.
  return MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string Win32FileSystem::ModuleFileName() {
  // The buffer grows until the name fits: a long path must not come back cut short.
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::string();
    if (length < name.size()) return Utf8FromWide(std::wstring(name.data(), length));
    if (name.size() >= 32768) return std::string();
    name.resize(name.size() * 2);
  }
}

std::string Win32FileSystem::CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return std::string();
  std::vector<wchar_t> directory(needed);
  const DWORD length = GetCurrentDirectoryW(needed, directory.data());
  if (length == 0 || length >= needed) return std::string();
  return Utf8FromWide(std::wstring(directory.data(), length));
}

}  // namespace flotilla::platform
