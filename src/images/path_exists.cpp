// The existence test of a file or directory path.
#include "images/path_exists.h"

#include <cctype>

namespace flotilla::images {
namespace {

bool IsDriveRoot(const std::string& path) {
  return path.size() == 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         path[2] == '\\';
}

}  // namespace

bool PathExists(platform::FileSystem& files, const std::string& path) {
  if (IsDriveRoot(path)) return true;
  if (!path.empty() && path.back() == '\\') return files.Exists(path.substr(0, path.size() - 1));
  return files.Exists(path);
}

}  // namespace flotilla::images
