// Whether a file or directory path exists, with the program's rules for a trailing backslash.
#pragma once

#include <string>

#include "platform/files.h"

namespace flotilla::images {

// A trailing "\" is dropped before the search, except on a bare drive root such as "C:\",
// which exists at once (a directory search finds no entry for a root).
bool PathExists(platform::FileSystem& files, const std::string& path);

}  // namespace flotilla::images
