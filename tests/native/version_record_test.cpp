// Finding the version record in an application image.
#include "images/version_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/memory_files.h"

namespace flotilla::images {
namespace {

constexpr size_t kBlock = kVersionScanBlock;

// An image of `length` bytes with the marker at `offset` (-1: none). A marker that runs past
// the end is cut there.
platform::MemoryFileSystem::Bytes ImageWithMarkerAt(size_t length, long offset) {
  platform::MemoryFileSystem::Bytes image(length, 0x11);
  if (offset < 0) return image;
  const auto at = static_cast<size_t>(offset);
  for (size_t i = 0; i < 4 && at + i < length; ++i) image[at + i] = protocol::kVersionRecordMarker[i];
  for (size_t i = at + 4; i < length; ++i) image[i] = static_cast<uint8_t>(i & 0x7F);
  return image;
}

// Passes reads on to a file, handing out at most `piece` bytes a call (a count that is no
// multiple of 4, as a pipe or a network share may), and counts the calls.
class CountingFile : public platform::FileHandle {
 public:
  CountingFile(std::unique_ptr<platform::FileHandle> file, size_t piece) : file_(std::move(file)), piece_(piece) {}
  bool Write(const void* data, size_t count) override { return file_->Write(data, count); }
  size_t Read(void* buffer, size_t count) override {
    ++reads;
    return file_->Read(buffer, std::min(count, piece_));
  }
  bool Seek(uint64_t offset) override { return file_->Seek(offset); }
  bool Length(uint64_t& length) override { return file_->Length(length); }
  bool Flush() override { return file_->Flush(); }
  size_t reads = 0;

 private:
  std::unique_ptr<platform::FileHandle> file_;
  size_t piece_;
};

TEST(FindVersionRecord, ScansAlignedGroupsOnly) {
  struct Case {
    const char* name;
    size_t length;
    long offset;  // -1: no marker
    bool found;
    size_t filled;  // record bytes that come from the image
  } cases[] = {
      {"at the start", 4096, 0, true, 128},
      {"deep inside, past the first read block", 200000, 2 * kBlock + 64, true, 128},
      {"last group of a block: the record runs on into the next", 3 * kBlock, kBlock - 4, true, 128},
      {"the record straddles two blocks", 3 * kBlock, kBlock - 64, true, 128},
      {"first group of the next block", 3 * kBlock, kBlock, true, 128},
      {"unaligned offset is not a marker", 4096, 6, false, 0},
      {"unaligned across a block boundary", 3 * kBlock, kBlock - 2, false, 0},
      {"in the last bytes: the rest of the record keeps its zeros", 1000, 1000 - 40, true, 40},
      {"the marker ends a block-sized image", kBlock, kBlock - 4, true, 4},
      {"the marker alone after a full block", kBlock + 4, kBlock, true, 4},
      {"the image ends inside the marker", 1002, 1000, false, 0},
      {"no marker", 4096, -1, false, 0},
      {"no marker in several blocks", 2 * kBlock + 100, -1, false, 0},
      {"too short to hold one", 3, -1, false, 0},
      {"empty", 0, -1, false, 0},
  };
  // Whole reads, and reads that come in pieces of a length that is no multiple of 4.
  for (size_t piece : {kBlock, size_t{1001}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", reads of up to " + std::to_string(piece));
      platform::MemoryFileSystem files;
      const platform::MemoryFileSystem::Bytes bytes = ImageWithMarkerAt(c.length, c.offset);
      files.SetFile("C:\\images\\amss.mbn", bytes);
      CountingFile image(files.OpenForReading("C:\\images\\amss.mbn"), piece);
      protocol::VersionRecord record{};
      EXPECT_EQ(FindVersionRecord(image, record), c.found);
      if (!c.found) {
        EXPECT_EQ(record, protocol::VersionRecord{});
        continue;
      }
      const auto from = bytes.begin() + c.offset;
      EXPECT_TRUE(std::equal(record.begin(), record.begin() + static_cast<long>(c.filled), from));
      for (size_t i = c.filled; i < record.size(); ++i) EXPECT_EQ(record[i], 0) << i;
    }
  }
}

TEST(FindVersionRecord, ReadsTheImageInLargeBlocks) {
  // A whole image without a record is the longest scan there is.
  const size_t length = 16 * kBlock + 12;
  platform::MemoryFileSystem files;
  files.SetFile("amss.mbn", ImageWithMarkerAt(length, -1));
  CountingFile image(files.OpenForReading("amss.mbn"), SIZE_MAX);
  protocol::VersionRecord record{};
  EXPECT_FALSE(FindVersionRecord(image, record));
  EXPECT_LE(image.reads, length / kBlock + 2);
}

}  // namespace
}  // namespace flotilla::images
