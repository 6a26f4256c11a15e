// Scanning the application image for its version record.
#include "images/version_record.h"

#include <cstring>
#include <vector>

namespace flotilla::images {

bool FindVersionRecord(std::istream& image, protocol::VersionRecord& record) {
  image.clear();
  image.seekg(0, std::ios::end);
  const std::streamoff length = image.tellg();
  if (length < 4) return false;
  image.seekg(0);

  // Read in blocks whose size is a multiple of 4 so that every group stays aligned.
  std::vector<char> block(64 * 1024);
  std::streamoff base = 0;
  while (base + 3 < length) {
    image.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = image.gcount();
    if (got < 4) break;
    for (std::streamsize i = 0; i + 4 <= got; i += 4) {
      if (std::memcmp(block.data() + i, protocol::kVersionRecordMarker.data(), 4) != 0) continue;
      image.clear();
      image.seekg(base + i);
      image.read(reinterpret_cast<char*>(record.data()), static_cast<std::streamsize>(record.size()));
      return true;
    }
    base += got;
    if (!image) break;
  }
  return false;
}

}  // namespace flotilla::images
