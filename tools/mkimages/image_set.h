// A synthetic image set: every file the updater stages, made from a seed, for tests and the demo.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace flotilla::mkimages {

// The files go into the directory under the names the updater stages them with.
//
// partition.mbn        the partition table (layout below)
// qcsblhd_cfgdata.mbn  an image header for qcsbl.mbn, then configuration bytes
// qcsbl.mbn, oemsbl.mbn, nandprgcombined.mbn   image bodies
// oemsblhd.mbn, amsshd.mbn, nandprghd.mbn      image headers for those bodies (image_header.h)
// amss.mbn             an ELF32 ARM executable with one loadable segment that holds the version
//                      record (version_record_layout.h) at a 4-aligned offset near its middle
// efs.mbn              an image header, then the file-system bytes
// armprg.bin           an image header, then the flash programmer's code
// NVApp.ini            a few lines of text
//
// A header in a file of its own describes the whole body file (body offset 0); one at the front
// of a file describes the rest of that file (body offset 40). Bodies are pseudo-random bytes from
// the seed, so the same options always give the same files.
//
// Partition table, little-endian: magic "FLPT", format 1, entry count, block size (bytes), then
// per entry a zero-padded 16-byte name, the first block and the block count; 0xFF up to the end.

constexpr uint64_t kDefaultPartitionSize = 464;
// The progress of an update spreads amss.mbn over 24 steps and efs.mbn over 29, one step per
// whole number of 1024-byte blocks: these sizes fill their ranges exactly.
constexpr uint64_t kDefaultAmssSize = 2 * 24 * 1024;
constexpr uint64_t kDefaultEfsSize = 2 * 29 * 1024;
constexpr const char kDefaultVersion[] = "BD_XV418V1.0.0B09";

// What the files must hold sets the lower limits. The partition table is read whole into a
// 1024-byte buffer; the ELF32 fields and the 32-bit header fields bound the images well below
// 4 GiB, and 1 GiB keeps every size field away from the record marker's value.
constexpr uint64_t kMinimumPartitionSize = 136;
constexpr uint64_t kMaximumPartitionSize = 1024;
constexpr uint64_t kMinimumAmssSize = 384;
constexpr uint64_t kMinimumEfsSize = 40;
constexpr uint64_t kMaximumImageSize = uint64_t{1} << 30;

// Sizes of the files that the options do not change.
constexpr uint64_t kQcsblConfigFileSize = 1342;
constexpr uint64_t kQcsblSize = 9000;
constexpr uint64_t kOemsblSize = 21000;
constexpr uint64_t kNandProgrammerSize = 13000;
constexpr uint64_t kFlashProgrammerFileSize = 8040;

struct ImageSetOptions {
  uint64_t partition_size = kDefaultPartitionSize;
  uint64_t amss_size = kDefaultAmssSize;
  uint64_t efs_size = kDefaultEfsSize;
  std::string version = kDefaultVersion;
  uint64_t seed = 1;
};

// Why the options cannot make an image set, or empty when they can.
std::string CheckImageSetOptions(const ImageSetOptions& options);

struct ImageSetResult {
  enum class Outcome { kWritten, kRefused, kIoFailed };
  Outcome outcome = Outcome::kWritten;
  // Why the options were refused, or what failed with the path it failed on.
  std::string message;
  // Where the version record starts in amss.mbn.
  uint64_t version_record_offset = 0;
};

// Creates `directory` (with its parents) if missing and writes every file into it, replacing
// files of the same names. Stops at the first file that cannot be written; files written before
// it stay.
ImageSetResult WriteImageSet(const std::filesystem::path& directory, const ImageSetOptions& options);

}  // namespace flotilla::mkimages
