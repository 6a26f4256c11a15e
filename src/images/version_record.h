// The 128-byte version record inside the application image, found by its marker.
#pragma once

#include <cstddef>

#include "platform/files.h"
#include "protocol/diag.h"

namespace flotilla::images {

// The scan reads the image in blocks of this size (a multiple of 4, so every group it
// compares stays aligned); the shipped image is some 15 MB.
constexpr size_t kVersionScanBlock = 64 * 1024;

// Scans `image` from its start, comparing the groups at offsets that are multiples of 4 with
// the marker, without loading it whole. On a match copies the 128 bytes from there into
// `record` (what lies beyond the end of the image stays as it was in `record`) and returns
// true; otherwise `record` is untouched.
bool FindVersionRecord(platform::FileHandle& image, protocol::VersionRecord& record);

}  // namespace flotilla::images
