// The stick's NAND flash as the flash programmer leaves it: the partition table and one
// committed image per image type, each with the header it was opened with.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace flotilla::sim {

struct FlashImage {
  std::vector<uint8_t> header;  // empty for the types opened without one
  std::vector<uint8_t> body;
};

class FlashStore {
 public:
  // Keeps the flash in `dir`/flash/: partition.bin, image-<type>.hdr and image-<type>.bin.
  // What is there already is loaded. False with `error` set when the directory cannot be made.
  bool Keep(const std::string& dir, std::string& error);

  void SetPartitionTable(std::vector<uint8_t> table);
  void Commit(int type, FlashImage image);

  const std::vector<uint8_t>& PartitionTable() const { return partition_; }
  const std::map<int, FlashImage>& Images() const { return images_; }
  // nullptr when no image of `type` was written.
  const FlashImage* Image(int type) const;

  // The firmware version text in the application image (type 5): the text of the version
  // record at the first 4-aligned copy of its marker; empty when there is none.
  std::string ApplicationVersion() const;

  // Where the files go; empty when nothing is kept.
  const std::string& Directory() const { return dir_; }

 private:
  std::string dir_;
  std::vector<uint8_t> partition_;
  std::map<int, FlashImage> images_;
};

// The type of an image the application image is written as.
constexpr int kApplicationImage = 5;
// The type the file system image (efs.mbn) is written as.
constexpr int kFileSystemImage = 9;

}  // namespace flotilla::sim
