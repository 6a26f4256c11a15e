// Scanning the application image for its version record.
#include "images/version_record.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace flotilla::images {
namespace {

// Reads until `count` bytes are in or the file ends; a file may hand out less per call.
size_t ReadFully(platform::FileHandle& file, uint8_t* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    const size_t n = file.Read(buffer + got, count - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

}  // namespace

bool FindVersionRecord(platform::FileHandle& image, protocol::VersionRecord& record) {
  if (!image.Seek(0)) return false;
  std::vector<uint8_t> block(kVersionScanBlock);
  for (;;) {
    const size_t got = ReadFully(image, block.data(), block.size());
    for (size_t i = 0; i + 4 <= got; i += 4) {
      if (std::memcmp(block.data() + i, protocol::kVersionRecordMarker.data(), 4) != 0) continue;
      // The record may run on into the next block; the file is positioned just there.
      const size_t here = std::min(record.size(), got - i);
      std::memcpy(record.data(), block.data() + i, here);
      if (got == block.size()) ReadFully(image, record.data() + here, record.size() - here);
      return true;
    }
    if (got < block.size()) return false;
  }
}

}  // namespace flotilla::images
