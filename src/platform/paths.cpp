// The shared path rules over the files seam.
#include "platform/paths.h"

namespace flotilla::platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool IsDriveRoot(const std::string& path) {
  return path.size() == 3 && path[1] == ':' && IsSeparator(path[2]) &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

bool PathExists(FileSystem& files, const std::string& path) {
  if (IsDriveRoot(path)) return true;
  std::string searched = path;
  // Only the one "\" at the end goes: a directory search for "C:\dir\" finds nothing.
  if (!searched.empty() && searched.back() == '\\') searched.pop_back();
  if (searched.empty()) return false;
  return files.Exists(searched);
}

bool EnsureDirectory(FileSystem& files, const std::string& path) {
  if (PathExists(files, path)) return true;
  return files.CreateDirectoryLevel(path);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (IsDriveRoot(directory)) return directory + name;
  return directory + "\\" + name;
}

}  // namespace flotilla::platform
