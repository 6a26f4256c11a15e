// Port number to device path map.
#include "platform/port_map.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace flotilla::platform {

void PortMap::Set(int port, std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_[port] = std::move(path);
}

void PortMap::Remove(int port) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.erase(port);
}

std::optional<std::string> PortMap::PathOf(int port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = paths_.find(port);
  if (it == paths_.end()) return std::nullopt;
  return it->second;
}

bool PortMap::Parse(const std::string& text) {
  std::vector<std::pair<int, std::string>> entries;
  std::istringstream in(text);
  std::string entry;
  while (std::getline(in, entry, ',')) {
    if (entry.empty()) continue;
    auto eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) return false;
    char* end = nullptr;
    long port = std::strtol(entry.c_str(), &end, 10);
    if (end != entry.c_str() + eq || port <= 0 || port > 255) return false;
    entries.emplace_back(static_cast<int>(port), entry.substr(eq + 1));
  }
  for (auto& [port, path] : entries) Set(port, std::move(path));
  return true;
}

}  // namespace flotilla::platform
