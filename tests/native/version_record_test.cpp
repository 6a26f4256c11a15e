// Finding the version record in an application image.
#include "images/version_record.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace flotilla::images {
namespace {

std::string ImageWithMarkerAt(size_t length, long offset) {
  std::string image(length, '\x11');
  if (offset >= 0) {
    image.replace(static_cast<size_t>(offset), 4, "\x2C\x1A\xBE\x6E", 4);
    for (size_t i = static_cast<size_t>(offset) + 4; i < length; ++i) image[i] = static_cast<char>(i & 0x7F);
  }
  return image;
}

TEST(FindVersionRecord, ScansAlignedGroupsOnly) {
  struct Case {
    const char* name;
    size_t length;
    long offset;  // -1: no marker
    bool found;
    size_t filled;  // record bytes that come from the image
  } cases[] = {
      {"at the start", 4096, 0, true, 128},
      {"deep inside, past the first read block", 200000, 131072 + 64, true, 128},
      {"unaligned offset is not a marker", 4096, 6, false, 0},
      {"in the last bytes: the rest of the record keeps its zeros", 1000, 1000 - 40, true, 40},
      {"no marker", 4096, -1, false, 0},
      {"too short to hold one", 3, -1, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream image(ImageWithMarkerAt(c.length, c.offset));
    protocol::VersionRecord record{};
    EXPECT_EQ(FindVersionRecord(image, record), c.found);
    if (!c.found) {
      EXPECT_EQ(record, protocol::VersionRecord{});
      continue;
    }
    EXPECT_EQ(record[0], 0x2C);
    EXPECT_EQ(record[3], 0x6E);
    EXPECT_EQ(record[4], static_cast<uint8_t>((c.offset + 4) & 0x7F));
    for (size_t i = c.filled; i < record.size(); ++i) EXPECT_EQ(record[i], 0) << i;
  }
}

}  // namespace
}  // namespace flotilla::images
