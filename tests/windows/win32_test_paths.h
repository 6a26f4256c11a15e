// Helpers of the Windows-side tests: the embedded files' sources, reached through Wine's Z:.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace flotilla::test {

struct EmbeddedSource {
  int id;
  const char* name;
  const char* source;  // the host path the build embedded
};

inline const std::vector<EmbeddedSource>& EmbeddedSources() {
  static const std::vector<EmbeddedSource> sources = {
#include "embedded_files_manifest.inc"
  };
  return sources;
}

// A host path as Wine shows it: "/work/x" is "Z:\work\x".
inline std::string WinePath(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// The whole content of a file, or false.
inline bool ReadWhole(platform::FileSystem& files, const std::string& path, std::vector<uint8_t>& bytes) {
  auto file = files.OpenForReading(path);
  if (!file) return false;
  uint64_t length = 0;
  if (!file->Length(length)) return false;
  bytes.assign(static_cast<size_t>(length), 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t n = file->Read(bytes.data() + done, bytes.size() - done);
    if (n == 0) return false;
    done += n;
  }
  return true;
}

}  // namespace flotilla::test
