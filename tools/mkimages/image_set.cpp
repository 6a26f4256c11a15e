// Writing the synthetic image set, one file at a time and one block at a time.
#include "tools/mkimages/image_set.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/mkimages/image_header.h"
#include "protocol/version_record_layout.h"

namespace flotilla::mkimages {
namespace {

namespace fs = std::filesystem;
using protocol::BuildVersionRecord;
using protocol::kVersionRecordBytes;
using protocol::kVersionRecordMarker;
using protocol::kVersionTextMaxLength;
using protocol::VersionRecordBytes;

constexpr size_t kBlockBytes = 64 * 1024;

// Load addresses on the stick. The flash programmer's is where the boot downloader writes it.
constexpr uint32_t kQcsblLoadAddress = 0x00010000;
constexpr uint32_t kOemsblLoadAddress = 0x00100000;
constexpr uint32_t kAmssLoadAddress = 0x00200000;
constexpr uint32_t kNandProgrammerLoadAddress = 0x00A00000;
constexpr uint32_t kFlashProgrammerLoadAddress = 0x00800000;

// amss.mbn: ELF header (52 bytes) and program header (32 bytes), zeros up to the segment.
constexpr uint32_t kElfHeaderBytes = 52;
constexpr uint32_t kProgramHeaderBytes = 32;
constexpr uint32_t kAmssSegmentOffset = 128;

constexpr uint32_t kPartitionMagic = 0x54504C46;  // "FLPT" in file order
constexpr uint32_t kPartitionFormat = 1;
constexpr uint32_t kPartitionBlockBytes = 128 * 1024;
constexpr size_t kPartitionHeaderBytes = 16;
constexpr size_t kPartitionNameBytes = 16;
constexpr size_t kPartitionEntryBytes = kPartitionNameBytes + 8;

// Each file draws from a stream of its own, so that changing one size leaves the other files as
// they were.
enum class Stream : uint64_t { kQcsbl = 1, kQcsblConfig, kOemsbl, kAmss, kEfs, kNandProgrammer, kFlashProgrammer, kNvApp };

// SplitMix64: cheap, well mixed, and fully determined by its 64-bit state.
uint64_t Mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

class ByteSource {
 public:
  ByteSource(uint64_t seed, Stream stream) : state_(Mix64(seed ^ Mix64(static_cast<uint64_t>(stream)))) {}

  void Fill(uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      if (left_ == 0) {
        state_ += 0x9E3779B97F4A7C15ULL;
        word_ = Mix64(state_);
        left_ = 8;
      }
      out[i] = static_cast<uint8_t>(word_);
      word_ >>= 8;
      --left_;
    }
  }

  uint32_t Next32() {
    uint8_t bytes[4];
    Fill(bytes, sizeof bytes);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }

 private:
  uint64_t state_;
  uint64_t word_ = 0;
  int left_ = 0;
};

void PutLittle16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void PutLittle32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The host takes the first 4-aligned match of the marker for the record, so no aligned group of
// random bytes may spell it. `data` must start at an aligned offset of its file.
void BreakMarkerGroups(uint8_t* data, size_t length) {
  for (size_t i = 0; i + 4 <= length; i += 4)
    if (std::equal(kVersionRecordMarker.begin(), kVersionRecordMarker.end(), data + i)) data[i] ^= 0x01;
}

// One file being written; remembers the first failure and the CRC-32 of what went through Write.
class OutputFile {
 public:
  explicit OutputFile(fs::path path) : path_(std::move(path)) {
    stream_.open(path_, std::ios::binary | std::ios::trunc);
    if (!stream_) error_ = "cannot create " + path_.string();
  }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  uint32_t crc() const { return crc_; }
  void RestartCrc() { crc_ = 0; }

  void Write(const uint8_t* data, size_t length) {
    if (!ok()) return;
    crc_ = Crc32Update(crc_, data, length);
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    if (!stream_) error_ = "cannot write " + path_.string();
  }

  void WriteText(const std::string& text) { Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

  void WriteRandom(ByteSource& source, uint64_t length, bool without_marker = false) {
    std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(length, kBlockBytes)));
    while (length > 0 && ok()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length, block.size()));
      source.Fill(block.data(), n);
      if (without_marker) BreakMarkerGroups(block.data(), n);
      Write(block.data(), n);
      length -= n;
    }
  }

  // Replaces bytes already written, leaving the CRC as it is: for a header that describes the
  // body behind it.
  void Overwrite(uint64_t offset, const uint8_t* data, size_t length) {
    if (!ok()) return;
    stream_.seekp(static_cast<std::streamoff>(offset));
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    stream_.seekp(0, std::ios::end);
    if (!stream_) error_ = "cannot write " + path_.string();
  }

  // Closing flushes, and a full disk often shows only then.
  std::string Close() {
    if (ok()) {
      stream_.close();
      if (!stream_) error_ = "cannot write " + path_.string();
    }
    return error_;
  }

 private:
  fs::path path_;
  std::ofstream stream_;
  std::string error_;
  uint32_t crc_ = 0;
};

struct BodyInfo {
  uint32_t size = 0;
  uint32_t crc = 0;
};

std::string WriteRandomImage(const fs::path& path, ByteSource source, uint64_t size, BodyInfo& body) {
  OutputFile file(path);
  file.WriteRandom(source, size);
  body = {static_cast<uint32_t>(size), file.crc()};
  return file.Close();
}

std::string WriteHeaderFile(const fs::path& path, ImageId id, uint32_t load_address, const BodyInfo& body) {
  OutputFile file(path);
  const ImageHeaderBytes header = EncodeImageHeader({id, 0, load_address, body.size, body.crc});
  file.Write(header.data(), header.size());
  return file.Close();
}

// A header at the front of the file that describes the random bytes after it.
std::string WriteHeadedImage(const fs::path& path, ImageId id, uint32_t load_address, ByteSource source,
                             uint64_t size) {
  OutputFile file(path);
  const ImageHeaderBytes placeholder{};
  file.Write(placeholder.data(), placeholder.size());
  file.RestartCrc();
  const uint64_t body_size = size - kImageHeaderBytes;
  file.WriteRandom(source, body_size);
  const ImageHeaderBytes header =
      EncodeImageHeader({id, kImageHeaderBytes, load_address, static_cast<uint32_t>(body_size), file.crc()});
  file.Overwrite(0, header.data(), header.size());
  return file.Close();
}

std::string WriteQcsblConfig(const fs::path& path, uint64_t seed, const BodyInfo& qcsbl) {
  OutputFile file(path);
  const ImageHeaderBytes header = EncodeImageHeader({ImageId::kQcsbl, 0, kQcsblLoadAddress, qcsbl.size, qcsbl.crc});
  file.Write(header.data(), header.size());
  ByteSource source(seed, Stream::kQcsblConfig);
  file.WriteRandom(source, kQcsblConfigFileSize - header.size());
  return file.Close();
}

uint32_t BlocksFor(uint64_t bytes) {
  return static_cast<uint32_t>(std::max<uint64_t>(1, (bytes + kPartitionBlockBytes - 1) / kPartitionBlockBytes));
}

std::string WritePartitionTable(const fs::path& path, const ImageSetOptions& options) {
  struct Partition {
    const char* name;
    uint64_t bytes;
  };
  const Partition partitions[] = {
      {"qcsbl", kQcsblConfigFileSize + kQcsblSize},
      {"oemsbl", kImageHeaderBytes + kOemsblSize},
      {"amss", options.amss_size},
      {"nandprg", kImageHeaderBytes + kNandProgrammerSize},
      {"efs", options.efs_size},
  };
  std::vector<uint8_t> table(static_cast<size_t>(options.partition_size), 0xFF);
  PutLittle32(&table[0], kPartitionMagic);
  PutLittle32(&table[4], kPartitionFormat);
  PutLittle32(&table[8], static_cast<uint32_t>(std::size(partitions)));
  PutLittle32(&table[12], kPartitionBlockBytes);
  uint32_t first_block = 0;
  size_t at = kPartitionHeaderBytes;
  for (const Partition& p : partitions) {
    std::fill_n(&table[at], kPartitionNameBytes, 0);
    std::copy_n(p.name, std::char_traits<char>::length(p.name), &table[at]);
    const uint32_t blocks = BlocksFor(p.bytes);
    PutLittle32(&table[at + kPartitionNameBytes], first_block);
    PutLittle32(&table[at + kPartitionNameBytes + 4], blocks);
    first_block += blocks;
    at += kPartitionEntryBytes;
  }
  OutputFile file(path);
  file.Write(table.data(), table.size());
  return file.Close();
}

std::array<uint8_t, kAmssSegmentOffset> AmssElfHeaders(uint32_t segment_bytes) {
  std::array<uint8_t, kAmssSegmentOffset> h{};
  // e_ident: magic, 32-bit, little-endian, ELF version 1.
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::copy(std::begin(ident), std::end(ident), h.begin());
  PutLittle16(&h[16], 2);                      // e_type: executable
  PutLittle16(&h[18], 40);                     // e_machine: ARM
  PutLittle32(&h[20], 1);                      // e_version
  PutLittle32(&h[24], kAmssLoadAddress);       // e_entry
  PutLittle32(&h[28], kElfHeaderBytes);        // e_phoff
  PutLittle32(&h[32], 0);                      // e_shoff: no section headers
  PutLittle32(&h[36], 0x05000000);             // e_flags: ARM EABI version 5
  PutLittle16(&h[40], kElfHeaderBytes);        // e_ehsize
  PutLittle16(&h[42], kProgramHeaderBytes);    // e_phentsize
  PutLittle16(&h[44], 1);                      // e_phnum
  PutLittle16(&h[46], 40);                     // e_shentsize
  uint8_t* ph = &h[kElfHeaderBytes];
  PutLittle32(ph + 0, 1);                      // p_type: loadable
  PutLittle32(ph + 4, kAmssSegmentOffset);     // p_offset
  PutLittle32(ph + 8, kAmssLoadAddress);       // p_vaddr
  PutLittle32(ph + 12, kAmssLoadAddress);      // p_paddr
  PutLittle32(ph + 16, segment_bytes);         // p_filesz
  PutLittle32(ph + 20, segment_bytes);         // p_memsz
  PutLittle32(ph + 24, 5);                     // p_flags: read, execute
  PutLittle32(ph + 28, 4);                     // p_align
  return h;
}

// Near the middle of the segment, so a scan has to cross plenty of random bytes to find it.
uint64_t VersionRecordOffset(uint64_t amss_size) {
  const uint64_t segment = amss_size - kAmssSegmentOffset;
  return kAmssSegmentOffset + ((segment - kVersionRecordBytes) / 2 & ~uint64_t{3});
}

std::string WriteAmss(const fs::path& path, const ImageSetOptions& options, BodyInfo& body) {
  OutputFile file(path);
  const uint64_t record_offset = VersionRecordOffset(options.amss_size);
  const auto headers = AmssElfHeaders(static_cast<uint32_t>(options.amss_size - kAmssSegmentOffset));
  file.Write(headers.data(), headers.size());
  ByteSource source(options.seed, Stream::kAmss);
  file.WriteRandom(source, record_offset - kAmssSegmentOffset, true);
  const VersionRecordBytes record = BuildVersionRecord(options.version);
  file.Write(record.data(), record.size());
  file.WriteRandom(source, options.amss_size - record_offset - record.size(), true);
  body = {static_cast<uint32_t>(options.amss_size), file.crc()};
  return file.Close();
}

std::string WriteNvApp(const fs::path& path, const ImageSetOptions& options) {
  // A handful of NV items with values from the seed; the updater stages the file but never reads it.
  const int kItems[] = {10, 22, 441, 550, 946};
  ByteSource source(options.seed, Stream::kNvApp);
  std::string text = "; NV item values of a synthetic image set (seed " + std::to_string(options.seed) + ")\r\n[NV]\r\n";
  for (int item : kItems) text += std::to_string(item) + "=" + std::to_string(source.Next32() & 0xFFFF) + "\r\n";
  OutputFile file(path);
  file.WriteText(text);
  return file.Close();
}

std::string SizeProblem(const char* file, uint64_t size, uint64_t minimum, uint64_t maximum, const char* why) {
  if (size < minimum)
    return std::string(file) + " needs at least " + std::to_string(minimum) + " bytes (" + why + "), not " +
           std::to_string(size);
  if (size > maximum)
    return std::string(file) + " can have at most " + std::to_string(maximum) + " bytes, not " + std::to_string(size);
  return {};
}

}  // namespace

std::string CheckImageSetOptions(const ImageSetOptions& options) {
  std::string problem = SizeProblem("partition.mbn", options.partition_size, kMinimumPartitionSize,
                                    kMaximumPartitionSize, "its header and five entries");
  if (problem.empty())
    problem = SizeProblem("amss.mbn", options.amss_size, kMinimumAmssSize, kMaximumImageSize,
                          "ELF headers and a segment around the 128-byte version record");
  if (problem.empty())
    problem = SizeProblem("efs.mbn", options.efs_size, kMinimumEfsSize, kMaximumImageSize, "its image header");
  if (problem.empty() && options.version.empty()) problem = "the version text is empty";
  if (problem.empty() && options.version.size() > kVersionTextMaxLength)
    problem = "the version text has " + std::to_string(options.version.size()) + " characters; at most " +
              std::to_string(kVersionTextMaxLength) + " fit the version record";
  if (problem.empty() && options.version.find('\0') != std::string::npos)
    problem = "the version text holds a zero byte";
  return problem;
}

ImageSetResult WriteImageSet(const fs::path& directory, const ImageSetOptions& options) {
  ImageSetResult result;
  result.message = CheckImageSetOptions(options);
  if (!result.message.empty()) {
    result.outcome = ImageSetResult::Outcome::kRefused;
    return result;
  }
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec || !fs::is_directory(directory, ec)) {
    result.outcome = ImageSetResult::Outcome::kIoFailed;
    result.message = "cannot create the directory " + directory.string() + (ec ? ": " + ec.message() : "");
    return result;
  }

  const uint64_t seed = options.seed;
  BodyInfo qcsbl, oemsbl, amss, nand_programmer;
  const std::function<std::string()> steps[] = {
      [&] { return WritePartitionTable(directory / "partition.mbn", options); },
      [&] { return WriteRandomImage(directory / "qcsbl.mbn", {seed, Stream::kQcsbl}, kQcsblSize, qcsbl); },
      [&] { return WriteQcsblConfig(directory / "qcsblhd_cfgdata.mbn", seed, qcsbl); },
      [&] { return WriteRandomImage(directory / "oemsbl.mbn", {seed, Stream::kOemsbl}, kOemsblSize, oemsbl); },
      [&] { return WriteHeaderFile(directory / "oemsblhd.mbn", ImageId::kOemsbl, kOemsblLoadAddress, oemsbl); },
      [&] { return WriteAmss(directory / "amss.mbn", options, amss); },
      [&] { return WriteHeaderFile(directory / "amsshd.mbn", ImageId::kAmss, kAmssLoadAddress, amss); },
      [&] { return WriteHeadedImage(directory / "efs.mbn", ImageId::kEfs, 0, {seed, Stream::kEfs}, options.efs_size); },
      [&] {
        return WriteRandomImage(directory / "nandprgcombined.mbn", {seed, Stream::kNandProgrammer},
                                kNandProgrammerSize, nand_programmer);
      },
      [&] {
        return WriteHeaderFile(directory / "nandprghd.mbn", ImageId::kNandProgrammer, kNandProgrammerLoadAddress,
                               nand_programmer);
      },
      [&] {
        return WriteHeadedImage(directory / "armprg.bin", ImageId::kFlashProgrammer, kFlashProgrammerLoadAddress,
                                {seed, Stream::kFlashProgrammer}, kFlashProgrammerFileSize);
      },
      [&] { return WriteNvApp(directory / "NVApp.ini", options); },
  };
  for (const auto& step : steps) {
    result.message = step();
    if (!result.message.empty()) {
      result.outcome = ImageSetResult::Outcome::kIoFailed;
      return result;
    }
  }
  result.version_record_offset = VersionRecordOffset(options.amss_size);
  return result;
}

}  // namespace flotilla::mkimages
