// The 128-byte version record inside the application image, found by its marker.
#pragma once

#include <istream>

#include "protocol/diag.h"

namespace flotilla::images {

// Scans `image` from its start, 4 bytes at a time, without loading it whole. On a match reads
// 128 bytes from there (what lies beyond the end of the image stays as it was in `record`)
// and returns true; otherwise `record` is untouched.
bool FindVersionRecord(std::istream& image, protocol::VersionRecord& record);

}  // namespace flotilla::images
