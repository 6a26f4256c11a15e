// The in-memory file system: a map of paths to shared byte vectors.
#include "platform/memory_files.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace flotilla::platform {

class MemoryFile : public FileHandle {
 public:
  MemoryFile(MemoryFileSystem& files, std::shared_ptr<MemoryFileSystem::Bytes> bytes, bool writable)
      : files_(files), bytes_(std::move(bytes)), writable_(writable) {}

  bool Write(const void* data, size_t count) override {
    if (!writable_) return false;
    const size_t fits = static_cast<size_t>(std::min<uint64_t>(count, files_.space_left));
    if (bytes_->size() < position_ + fits) bytes_->resize(position_ + fits);
    if (fits) std::memcpy(bytes_->data() + position_, data, fits);
    position_ += fits;
    files_.space_left -= fits;
    return fits == count;
  }
  size_t Read(void* buffer, size_t count) override {
    if (position_ >= bytes_->size()) return 0;
    const size_t n = std::min(count, bytes_->size() - static_cast<size_t>(position_));
    std::memcpy(buffer, bytes_->data() + position_, n);
    position_ += n;
    return n;
  }
  bool Seek(uint64_t offset) override {
    position_ = offset;
    return true;
  }
  bool Length(uint64_t& length) override {
    length = bytes_->size();
    return true;
  }
  bool Flush() override { return true; }

 private:
  MemoryFileSystem& files_;
  std::shared_ptr<MemoryFileSystem::Bytes> bytes_;
  bool writable_;
  uint64_t position_ = 0;
};

std::string MemoryFileSystem::Key(const std::string& path) {
  // Windows reads "C:\dir\\file" as "C:\dir\file"; so does this double.
  std::string key;
  for (char c : path) {
    if (c == '/') c = '\\';
    if (c == '\\' && !key.empty() && key.back() == '\\') continue;
    key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return key;
}

std::string MemoryFileSystem::ParentOf(const std::string& key) {
  const size_t slash = key.find_last_of('\\');
  return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

void MemoryFileSystem::SetFile(const std::string& path, Bytes bytes) {
  files_[Key(path)] = std::make_shared<Bytes>(std::move(bytes));
}

void MemoryFileSystem::AddDirectory(const std::string& path) { directories_.insert(Key(path)); }

const MemoryFileSystem::Bytes* MemoryFileSystem::File(const std::string& path) const {
  auto it = files_.find(Key(path));
  return it == files_.end() ? nullptr : it->second.get();
}

bool MemoryFileSystem::HasDirectory(const std::string& path) const {
  return directories_.count(Key(path)) != 0;
}

std::vector<std::string> MemoryFileSystem::FileNames() const {
  std::vector<std::string> names;
  for (const auto& entry : files_) names.push_back(entry.first);
  return names;
}

bool MemoryFileSystem::Exists(const std::string& path) {
  const std::string key = Key(path);
  return files_.count(key) != 0 || directories_.count(key) != 0;
}

bool MemoryFileSystem::CreateDirectoryLevel(const std::string& path) {
  const std::string key = Key(path);
  if (Exists(path)) return false;
  const std::string parent = ParentOf(key);
  // A drive such as "c:" always exists.
  const bool drive = parent.size() == 2 && parent[1] == ':';
  if (!parent.empty() && !drive && directories_.count(parent) == 0) return false;
  if (read_only_directories.count(parent)) return false;
  directories_.insert(key);
  return true;
}

bool MemoryFileSystem::DeleteFile(const std::string& path) { return files_.erase(Key(path)) != 0; }

std::unique_ptr<FileHandle> MemoryFileSystem::OpenForReading(const std::string& path) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) return nullptr;
  return std::make_unique<MemoryFile>(*this, it->second, false);
}

std::unique_ptr<FileHandle> MemoryFileSystem::CreateForWriting(const std::string& path) {
  const std::string key = Key(path);
  const std::string parent = ParentOf(key);
  if (directories_.count(key) || read_only_directories.count(parent)) return nullptr;
  auto bytes = std::make_shared<Bytes>();
  files_[key] = bytes;
  return std::make_unique<MemoryFile>(*this, bytes, true);
}

bool MemoryFileSystem::ReplaceFile(const std::string& from, const std::string& to) {
  if (fail_replace) return false;
  auto it = files_.find(Key(from));
  if (it == files_.end()) return false;
  auto bytes = it->second;
  files_.erase(it);
  files_[Key(to)] = bytes;
  return true;
}

}  // namespace flotilla::platform
