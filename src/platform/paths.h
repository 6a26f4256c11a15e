// The path rules that staging, the image set, the NV backup and the connection manager share
// (PathExists and EnsureDirectory), over the files seam. They sit here, below every
// subsystem, because images, nvdata and hostenv all use them and may not include each other.
#pragma once

#include <string>

#include "platform/files.h"

namespace flotilla::platform {

// True for a bare drive root such as "C:\" (also "C:/").
bool IsDriveRoot(const std::string& path);

// A trailing "\" is dropped first, except that a bare drive root counts as existing at
// once; then a directory search for the path decides. Files and directories alike.
bool PathExists(FileSystem& files, const std::string& path);

// True when the path exists; otherwise creates that one directory level (no parents)
// and reports whether that worked. Shows nothing; the callers report a failure.
bool EnsureDirectory(FileSystem& files, const std::string& path);

// `directory`, "\" and `name`, without a second separator after a drive root ("C:\name").
std::string JoinPath(const std::string& directory, const std::string& name);

}  // namespace flotilla::platform
