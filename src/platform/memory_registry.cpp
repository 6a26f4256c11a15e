// The in-memory registry.
#include "platform/memory_registry.h"

#include <cctype>
#include <cstring>

namespace flotilla::platform {

std::string MemoryRegistry::Fold(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void MemoryRegistry::SetString(const std::string& key, const std::string& name,
                               const std::string& value, bool terminated) {
  std::vector<uint8_t> bytes(value.begin(), value.end());
  if (terminated) bytes.push_back(0);
  SetBinary(key, name, std::move(bytes));
}

void MemoryRegistry::SetDword(const std::string& key, const std::string& name, uint32_t value) {
  SetBinary(key, name,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
             static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void MemoryRegistry::SetBinary(const std::string& key, const std::string& name,
                               std::vector<uint8_t> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_[Fold(key)][Fold(name)] = std::move(value);
}

void MemoryRegistry::CreateKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_[Fold(key)];
}

void MemoryRegistry::DeleteKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folded = Fold(key);
  for (auto it = keys_.begin(); it != keys_.end();) {
    bool below = it->first == folded ||
                 (it->first.size() > folded.size() && it->first.compare(0, folded.size(), folded) == 0 &&
                  it->first[folded.size()] == '\\');
    it = below ? keys_.erase(it) : std::next(it);
  }
}

void MemoryRegistry::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_.clear();
}

long MemoryRegistry::OpenLocalMachineKey(const std::string& path, uint32_t, RegistryHandle& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (deny_) return kRegistryAccessDenied;
  const std::string folded = Fold(path);
  if (!keys_.count(folded)) return kRegistryFileNotFound;
  key = next_++;
  open_[key] = folded;
  return kRegistryOk;
}

long MemoryRegistry::QueryValue(RegistryHandle key, const std::string& name, uint8_t* data,
                                uint32_t& size) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto handle = open_.find(key);
  if (handle == open_.end()) return kRegistryInvalidHandle;
  auto values = keys_.find(handle->second);
  if (values == keys_.end()) return kRegistryFileNotFound;  // deleted while open
  auto value = values->second.find(Fold(name));
  if (value == values->second.end()) return kRegistryFileNotFound;
  const auto& bytes = value->second;
  if (bytes.size() > size) {
    size = static_cast<uint32_t>(bytes.size());
    return kRegistryMoreData;
  }
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  size = static_cast<uint32_t>(bytes.size());
  return kRegistryOk;
}

long MemoryRegistry::CloseKey(RegistryHandle key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.erase(key) ? kRegistryOk : kRegistryInvalidHandle;
}

size_t MemoryRegistry::OpenKeyCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

}  // namespace flotilla::platform
