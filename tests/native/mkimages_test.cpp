// The synthetic image set of flotilla-mkimages: files and sizes, headers, the version record in
// amss.mbn, repeatability from the seed, refused options and I/O errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "images/version_record.h"
#include "platform/posix/files.h"
#include "tools/mkimages/image_header.h"
#include "tools/mkimages/image_set.h"
#include "tools/mkimages/mkimages_command.h"
#include "protocol/version_record_layout.h"

namespace flotilla::mkimages {
namespace {

namespace fs = std::filesystem;
using protocol::BuildVersionRecord;
using protocol::kVersionRecordBytes;
using protocol::kVersionRecordMarker;
using protocol::VersionRecordBytes;
using protocol::VersionTextOfRecord;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Little32(const Bytes& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint16_t Little16(const Bytes& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The host's way of finding the record: the first 4-aligned group that spells the marker.
std::optional<size_t> FirstAlignedMarker(const Bytes& image) {
  for (size_t i = 0; i + 4 <= image.size(); i += 4)
    if (std::equal(kVersionRecordMarker.begin(), kVersionRecordMarker.end(), image.begin() + i)) return i;
  return std::nullopt;
}

struct RunResult {
  int exit_code;
  std::string out;
  std::string err;
};

RunResult RunCommand(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = RunMkImages(args, out, err);
  return {code, out.str(), err.str()};
}

class MkImagesTest : public ::testing::Test {
 protected:
  MkImagesTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::path(::testing::TempDir()) /
            ("flotilla_mkimages_" + std::string(info->name()) + "_" + std::to_string(std::random_device{}()));
    fs::create_directories(root_);
  }
  ~MkImagesTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Writes an image set into a fresh directory under the test's own and returns that directory.
  fs::path Write(const std::string& name, const ImageSetOptions& options) {
    const fs::path dir = root_ / name;
    const ImageSetResult result = WriteImageSet(dir, options);
    EXPECT_EQ(result.outcome, ImageSetResult::Outcome::kWritten) << result.message;
    last_record_offset_ = result.version_record_offset;
    return dir;
  }

  fs::path root_;
  uint64_t last_record_offset_ = 0;
};

const char* const kAllFiles[] = {
    "partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",  "oemsbl.mbn",          "amsshd.mbn",
    "amss.mbn",      "efs.mbn",             "NVApp.ini", "nandprghd.mbn", "nandprgcombined.mbn", "armprg.bin",
};

TEST_F(MkImagesTest, WritesEveryFileWithItsSize) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    uintmax_t amss;
    uintmax_t efs;
  } cases[] = {
      // The update's progress spreads amss.mbn over 24 steps and efs.mbn over 29.
      {"defaults", {}, 2 * 24 * 1024, 2 * 29 * 1024},
      {"the smallest sizes", {"--amss-size", "384", "--efs-size", "40"}, 384, 40},
      {"sizes that are not a multiple of 4", {"--amss-size", "0x186A1", "--efs-size", "5001"}, 100001, 5001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Parents that do not exist yet are created as well.
    const fs::path dir = root_ / c.name / "staging";
    std::vector<std::string> args = {dir.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult run = RunCommand(args);
    ASSERT_EQ(run.exit_code, kExitOk) << run.err;

    const struct {
      const char* file;
      uintmax_t size;
    } expected[] = {
        {"partition.mbn", 464}, {"qcsblhd_cfgdata.mbn", 1342}, {"qcsbl.mbn", 9000},
        {"oemsblhd.mbn", 40},   {"oemsbl.mbn", 21000},         {"amsshd.mbn", 40},
        {"amss.mbn", c.amss},   {"efs.mbn", c.efs},            {"nandprghd.mbn", 40},
        {"nandprgcombined.mbn", 13000}, {"armprg.bin", 8040},
    };
    for (const auto& e : expected) EXPECT_EQ(fs::file_size(dir / e.file), e.size) << e.file;

    const Bytes ini_bytes = ReadFile(dir / "NVApp.ini");
    const std::string ini(ini_bytes.begin(), ini_bytes.end());
    EXPECT_NE(ini.find("[NV]"), std::string::npos);
    EXPECT_LT(ini.size(), 1024u);

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>(std::begin(kAllFiles), std::end(kAllFiles)));
  }
}

TEST(ImageHeaderCrc, MatchesTheStandardCheckValueInOneGoAndInPieces) {
  const std::string text = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(Crc32Update(0, data, text.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(Crc32Update(0, data, 4), data + 4, 5), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0, data, 0), 0u);
}

TEST_F(MkImagesTest, HeadersDescribeTheirBodies) {
  const fs::path dir = Write("set", ImageSetOptions{});
  struct Case {
    const char* header_file;  // the header is this file's first 40 bytes
    const char* body_file;
    ImageId id;
    uint32_t body_offset;  // where the body starts in body_file
  } cases[] = {
      {"qcsblhd_cfgdata.mbn", "qcsbl.mbn", ImageId::kQcsbl, 0},
      {"oemsblhd.mbn", "oemsbl.mbn", ImageId::kOemsbl, 0},
      {"amsshd.mbn", "amss.mbn", ImageId::kAmss, 0},
      {"nandprghd.mbn", "nandprgcombined.mbn", ImageId::kNandProgrammer, 0},
      {"efs.mbn", "efs.mbn", ImageId::kEfs, 40},
      {"armprg.bin", "armprg.bin", ImageId::kFlashProgrammer, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header_file);
    const Bytes header_bytes = ReadFile(dir / c.header_file);
    const Bytes body_file = ReadFile(dir / c.body_file);
    const std::optional<ImageHeader> header = DecodeImageHeader(header_bytes.data(), header_bytes.size());
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->image_id, c.id);
    EXPECT_EQ(header->body_offset, c.body_offset);
    ASSERT_LE(c.body_offset, body_file.size());
    EXPECT_EQ(header->body_size, body_file.size() - c.body_offset);
    EXPECT_EQ(header->body_crc, Crc32Update(0, body_file.data() + c.body_offset, body_file.size() - c.body_offset));
    EXPECT_TRUE(std::all_of(header_bytes.begin() + 24, header_bytes.begin() + 40, [](uint8_t b) { return b == 0; }));
  }
  // A short buffer or a foreign format is no header.
  const Bytes header_bytes = ReadFile(dir / "amsshd.mbn");
  EXPECT_FALSE(DecodeImageHeader(header_bytes.data(), 39).has_value());
  Bytes foreign = header_bytes;
  foreign[4] = 2;
  EXPECT_FALSE(DecodeImageHeader(foreign.data(), foreign.size()).has_value());
}

TEST_F(MkImagesTest, AmssIsAnArmElfThatCarriesTheVersionRecord) {
  struct Case {
    const char* name;
    uint64_t amss_size;
    std::string version;
    uint64_t seed;
  } cases[] = {
      {"defaults", kDefaultAmssSize, kDefaultVersion, 1},
      {"smallest image", 384, "V1", 1},
      {"size not a multiple of 4, record midway rounded down, longest version", 100006, std::string(63, 'x'), 5},
      {"past the host's first 64 KiB read", 300 * 1024, "BD_XV418V2.0.0B01", 2},
      // This seed's random bytes spell the marker at offset 8496, well before the record; the
      // generator must break that group up or the host would take it for the record.
      {"random bytes that would spell the marker", kDefaultAmssSize, kDefaultVersion, 1213832},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSetOptions options;
    options.amss_size = c.amss_size;
    options.version = c.version;
    options.seed = c.seed;
    const fs::path dir = Write(std::to_string(&c - cases), options);
    const Bytes amss = ReadFile(dir / "amss.mbn");
    ASSERT_EQ(amss.size(), c.amss_size);

    // ELF32, little-endian, ARM executable with one loadable segment that runs to the end.
    EXPECT_EQ(Bytes(amss.begin(), amss.begin() + 7), (Bytes{0x7F, 'E', 'L', 'F', 1, 1, 1}));
    EXPECT_EQ(Little16(amss, 16), 2);   // executable
    EXPECT_EQ(Little16(amss, 18), 40);  // ARM
    EXPECT_EQ(Little32(amss, 28), 52u);
    EXPECT_EQ(Little16(amss, 44), 1);
    const uint32_t segment_offset = Little32(amss, 52 + 4);
    EXPECT_EQ(Little32(amss, 52), 1u);  // loadable
    EXPECT_EQ(segment_offset + Little32(amss, 52 + 16), amss.size());

    const std::optional<size_t> at = FirstAlignedMarker(amss);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(*at % 4, 0u);
    EXPECT_GT(*at, segment_offset);
    EXPECT_LE(*at + kVersionRecordBytes, amss.size());
    EXPECT_EQ(*at, last_record_offset_);
    const VersionRecordBytes expected = BuildVersionRecord(c.version);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), amss.begin() + static_cast<std::ptrdiff_t>(*at)));

    // The updater's own scan hands over the same record, and the text comes back out of it.
    platform::PosixFileSystem files;
    const auto image = files.OpenForReading((dir / "amss.mbn").string());
    ASSERT_TRUE(image);
    protocol::VersionRecord found{};
    ASSERT_TRUE(images::FindVersionRecord(*image, found));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), found.begin()));
    EXPECT_EQ(VersionTextOfRecord(found.data(), found.size()), c.version);
  }
}

TEST(VersionRecordLayout, BuildsTheRecordAndReadsItsTextSafely) {
  const VersionRecordBytes record = BuildVersionRecord("BD_XV418V1.0.0B09");
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 8), (Bytes{0x2C, 0x1A, 0xBE, 0x6E, 1, 0, 0, 0}));
  EXPECT_TRUE(std::all_of(record.begin() + 8 + 17, record.end(), [](uint8_t b) { return b == 0; }));

  VersionRecordBytes unterminated = BuildVersionRecord("");
  std::fill(unterminated.begin() + 8, unterminated.end(), 'A');
  const VersionRecordBytes no_marker{};

  struct Case {
    const char* name;
    const uint8_t* record;
    size_t length;
    std::string text;
  } cases[] = {
      {"whole record", record.data(), record.size(), "BD_XV418V1.0.0B09"},
      {"cut inside the text", record.data(), 14, "BD_XV4"},
      {"cut before the text", record.data(), 8, ""},
      {"only the marker", record.data(), 4, ""},
      {"shorter than the marker", record.data(), 3, ""},
      {"no bytes at all", nullptr, 0, ""},
      {"no marker", no_marker.data(), no_marker.size(), ""},
      {"text without a zero ends with its field", unterminated.data(), unterminated.size(), std::string(64, 'A')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VersionTextOfRecord(c.record, c.length), c.text);
  }

  // A text too long for the field is cut, and the field keeps a zero at its end.
  const VersionRecordBytes cut = BuildVersionRecord(std::string(80, 'v'));
  EXPECT_EQ(VersionTextOfRecord(cut.data(), cut.size()), std::string(63, 'v'));
  EXPECT_EQ(cut[8 + 63], 0);
}

TEST_F(MkImagesTest, SameSeedSameFilesOtherSeedOtherBodies) {
  ImageSetOptions options;
  options.seed = 7;
  const fs::path first = Write("first", options);
  const fs::path again = Write("again", options);
  options.seed = 8;
  const fs::path other = Write("other", options);

  for (const char* file : kAllFiles) {
    SCOPED_TRACE(file);
    EXPECT_EQ(ReadFile(first / file), ReadFile(again / file));
  }
  // Bodies follow the seed. The partition table and the bare headers differ at most in a checksum,
  // and NVApp.ini is text whose length moves with its numbers, so they are left out here.
  for (const char* file : {"qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsbl.mbn", "amss.mbn", "efs.mbn",
                           "nandprgcombined.mbn", "armprg.bin"}) {
    SCOPED_TRACE(file);
    const Bytes a = ReadFile(first / file);
    const Bytes b = ReadFile(other / file);
    ASSERT_EQ(a.size(), b.size());
    // Past any header; a body that differs differs in most of its bytes.
    size_t same = 0;
    for (size_t i = 128; i < a.size(); ++i) same += a[i] == b[i];
    EXPECT_LT(same, (a.size() - 128) / 16) << "of " << a.size() - 128;
  }
}

TEST_F(MkImagesTest, RefusesWhatCannotMakeAnImageSet) {
  const fs::path dir = root_ / "refused";
  struct Case {
    const char* name;
    std::vector<std::string> args;  // after DIR
    const char* complaint;
  } cases[] = {
      {"amss too small for headers and record", {"--amss-size", "383"}, "amss.mbn"},
      {"amss empty", {"--amss-size", "0"}, "amss.mbn"},
      {"amss above 1 GiB", {"--amss-size", "1073741825"}, "amss.mbn"},
      {"efs too small for its header", {"--efs-size", "39"}, "efs.mbn"},
      {"empty version", {"--version", ""}, "version"},
      {"version longer than 63", {"--version", std::string(64, 'v')}, "version"},
      {"size not a number", {"--amss-size", "12x"}, "--amss-size"},
      {"size beyond 64 bits", {"--efs-size", "99999999999999999999999"}, "--efs-size"},
      {"hex prefix alone", {"--seed", "0x"}, "--seed"},
      {"option without its value", {"--seed"}, "--seed"},
      {"unknown option", {"--bogus", "1"}, "unknown option --bogus"},
      {"unknown option last", {"--bogus"}, "unknown option --bogus"},
      {"two directories", {"elsewhere"}, "more than one directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {dir.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = RunCommand(args);
    EXPECT_EQ(run.exit_code, kExitRefused);
    EXPECT_NE(run.err.find(c.complaint), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("usage: flotilla-mkimages"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir)) << "refused options wrote nothing";
  }
  EXPECT_EQ(RunCommand({}).exit_code, kExitRefused);

  // The partition table must hold its header and entries and fit the updater's 1024-byte buffer.
  for (uint64_t size : {uint64_t{135}, uint64_t{1025}}) {
    SCOPED_TRACE(size);
    ImageSetOptions options;
    options.partition_size = size;
    const ImageSetResult result = WriteImageSet(dir, options);
    EXPECT_EQ(result.outcome, ImageSetResult::Outcome::kRefused);
    EXPECT_NE(result.message.find("partition.mbn"), std::string::npos) << result.message;
  }
  for (uint64_t size : {uint64_t{136}, uint64_t{1024}}) {
    SCOPED_TRACE(size);
    ImageSetOptions options;
    options.partition_size = size;
    Write("partition_" + std::to_string(size), options);
    EXPECT_EQ(fs::file_size(root_ / ("partition_" + std::to_string(size)) / "partition.mbn"), size);
  }
}

TEST_F(MkImagesTest, ReportsIoErrorsWithThePath) {
  struct Case {
    const char* name;
    const char* blocked;  // the path the error must name, under the case's directory
    bool (*block)(const fs::path& dir);
  } cases[] = {
      {"the directory is a file", "",
       [](const fs::path& dir) {
         std::ofstream(dir.string()) << "x";
         return true;
       }},
      {"an image's name is taken by a directory", "amss.mbn",
       [](const fs::path& dir) { return fs::create_directories(dir / "amss.mbn"); }},
      {"the disk fills up while an image is written", "efs.mbn",
       [](const fs::path& dir) {
         if (!fs::exists("/dev/full")) return false;
         fs::create_directories(dir);
         fs::create_symlink("/dev/full", dir / "efs.mbn");
         return true;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root_ / c.name;
    if (!c.block(dir)) continue;
    const RunResult run = RunCommand({dir.string()});
    EXPECT_EQ(run.exit_code, kExitIoFailed);
    const std::string path = *c.blocked ? (dir / c.blocked).string() : dir.string();
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace flotilla::mkimages
