// Maps port numbers (the n of COMn) to device paths for platforms without COM names.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace flotilla::platform {

class PortMap {
 public:
  void Set(int port, std::string path);
  void Remove(int port);
  std::optional<std::string> PathOf(int port) const;
  // Reads "N=PATH" entries separated by commas; false (and nothing changed) on a bad entry.
  bool Parse(const std::string& text);

 private:
  mutable std::mutex mutex_;
  std::map<int, std::string> paths_;
};

}  // namespace flotilla::platform
