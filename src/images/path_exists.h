// Whether a file or directory path exists, with the program's rules for a trailing backslash.
// One implementation serves images, nvdata and hostenv alike, so it sits in the platform layer
// (platform/paths.h); the image set code keeps reaching it by this name.
#pragma once

#include "platform/paths.h"

namespace flotilla::images {

using platform::PathExists;

}  // namespace flotilla::images
