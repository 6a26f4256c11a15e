// The line-level download sequences against a fake stick on the virtual clock: entering the
// boot downloader, the programmer upload and start, the programming passes and the restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fake_programmer.h"
#include "discovery/port_wait.h"
#include "images/programming.h"
#include "platform/memory_registry.h"
#include "protocol/byte_order.h"
#include "test_bytes.h"
#include "update/downloader_steps.h"

namespace flotilla {
namespace {

using test::Packet;

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int percent) override { progress.push_back(percent); }
  std::vector<std::string> statuses;
  std::vector<int> progress;
};

// Sizes of the image files the fixture writes; bodies hold a byte pattern per file.
const std::map<std::string, size_t> kImageSizes = {
    {"partition.mbn", 464},  {"qcsblhd_cfgdata.mbn", 1342}, {"qcsbl.mbn", 3000},
    {"oemsblhd.mbn", 40},    {"oemsbl.mbn", 2500},          {"amsshd.mbn", 40},
    {"amss.mbn", 10 * 1024}, {"nandprghd.mbn", 40},         {"nandprgcombined.mbn", 2048},
    {"efs.mbn", 5000},       {"armprg.bin", 2034},
};

class DownloadSequenceTest : public ::testing::Test {
 protected:
  DownloadSequenceTest()
      : stick_(clock_),
        doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}),
        context_{doc_, registry_, display_, prompts_, 0} {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("flotilla_images_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
    for (const auto& [name, size] : kImageSizes) WriteImage(name, size);
    doc_.Line(0).paths.image_directory = dir_.string();
    doc_.Line(0).paths.flash_programmer = (dir_ / "armprg.bin").string();
    doc_.Line(0).running = 1;
    Register(true, true);
    doc_.Line(0).diag_port = 4;
    doc_.Line(0).data_port = 3;
    doc_.OpenDiagPort(0, 4, 115200);
  }
  ~DownloadSequenceTest() override { std::filesystem::remove_all(dir_); }

  void WriteImage(const std::string& name, size_t size) {
    std::ofstream out(dir_ / name, std::ios::binary);
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 7 + name.size()) & 0xFF));
  }

  // The driver registrations of a stick with the given interfaces present.
  void Register(bool at, bool diag) {
    registry_.Clear();
    const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
    const std::string devices = "SYSTEM\\CurrentControlSet\\Enum\\";
    if (at) {
      registry_.SetDword(services + "qcusbmdm6k\\Enum", "Count", 1);
      registry_.SetString(services + "qcusbmdm6k\\Enum", "0", "USB\\AT\\1");
      registry_.SetString(devices + "USB\\AT\\1\\Device Parameters", "PortName", "COM3");
    }
    if (diag) {
      registry_.SetDword(services + "qcusbser6k\\Enum", "Count", 1);
      registry_.SetString(services + "qcusbser6k\\Enum", "0", "USB\\DIAG\\1");
      registry_.SetString(devices + "USB\\DIAG\\1\\Device Parameters", "PortName", "COM4");
    }
  }

  std::vector<Packet> RequestsWithCode(uint8_t code) const {
    std::vector<Packet> out;
    for (const auto& r : stick_.requests)
      if (!r.empty() && r[0] == code) out.push_back(r);
    return out;
  }
  // The open-multi-image types in the order they were requested.
  std::vector<int> OpenedTypes() const {
    std::vector<int> types;
    for (const auto& r : RequestsWithCode(0x1B)) types.push_back(r.size() > 1 ? r[1] : -1);
    return types;
  }
  bool StatusSeen(const std::string& text) const {
    return std::find(display_.statuses.begin(), display_.statuses.end(), text) != display_.statuses.end();
  }

  platform::VirtualClock clock_;
  test::FakeProgrammer stick_;
  platform::MemoryRegistry registry_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  line::CFlotillaDoc doc_;
  line::LineContext context_;
  std::filesystem::path dir_;
};

TEST_F(DownloadSequenceTest, UploadSplitsTheProgrammerInto1017ByteBlocks) {
  struct Case {
    size_t size;
    std::vector<std::pair<uint32_t, uint16_t>> writes;  // address, length
  } cases[] = {
      {0, {{0x00800000, 0}}},
      {1017, {{0x00800000, 1017}}},
      {1018, {{0x00800000, 1017}, {0x00800000 + 1017, 1}}},
      {2034, {{0x00800000, 1017}, {0x00800000 + 1017, 1017}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    WriteImage("armprg.bin", c.size);
    stick_.requests.clear();
    ASSERT_TRUE(update::UploadFlashProgrammer(context_));
    auto writes = RequestsWithCode(0x0F);
    ASSERT_EQ(writes.size(), c.writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(protocol::ReadBe32(&writes[i][1]), c.writes[i].first);
      EXPECT_EQ(protocol::ReadBe16(&writes[i][5]), c.writes[i].second);
      EXPECT_EQ(writes[i].size(), 7u + c.writes[i].second);
    }
  }
}

TEST_F(DownloadSequenceTest, AMissingProgrammerIsReportedWithTheLineNumber) {
  std::filesystem::remove(dir_ / "armprg.bin");
  EXPECT_FALSE(update::UploadFlashProgrammer(context_));
  EXPECT_EQ(doc_.Line(0).diag_channel.ErrorText(), "Line1 :\tOpen armprg.bin fail!");
  ASSERT_EQ(prompts_.messages.size(), 1u);
  EXPECT_EQ(prompts_.messages[0], "Line1 :\tOpen armprg.bin fail!");
}

TEST_F(DownloadSequenceTest, StartFlashProgrammerGoesHelloesAndPings) {
  ASSERT_TRUE(update::StartFlashProgrammer(context_));
  ASSERT_EQ(stick_.requests.size(), 3u);
  EXPECT_EQ(test::Hex(stick_.requests[0]), "05 00 80 00 00");
  EXPECT_EQ(stick_.requests[1].size(), 36u);
  EXPECT_EQ(test::Hex(stick_.requests[2]), "09 11");
}

TEST_F(DownloadSequenceTest, EnterBootDownloaderWalksTheStickIntoItsDownloader) {
  ASSERT_TRUE(update::EnterBootDownloader(context_));
  std::vector<uint8_t> codes;
  for (const auto& r : stick_.requests) codes.push_back(r[0]);
  EXPECT_EQ(test::Hex(codes), "5c 41 29 4b 3a 06 07");
  EXPECT_EQ(doc_.Line(0).flash_info.maximum_write_size, 0x400u);
}

TEST_F(DownloadSequenceTest, EnterBootDownloaderGivesUpWhenTheSubsystemNeverGetsReady) {
  stick_.policy = [](const Packet& r, bool flagged) -> std::optional<Packet> {
    if (!flagged && r[0] == 0x4B) return Packet{0x4B, 0x04, 0x0E, 0x00, 0x01};
    return test::FakeProgrammer::Default(r, flagged);
  };
  EXPECT_FALSE(update::EnterBootDownloader(context_));
  EXPECT_EQ(RequestsWithCode(0x4B).size(), 100u);
  EXPECT_TRUE(RequestsWithCode(0x3A).empty());
}

TEST_F(DownloadSequenceTest, EnterBootDownloaderStopsWaitingForAStickThatNeverReturns) {
  registry_.Clear();
  const uint64_t before = clock_.NowMs();
  EXPECT_FALSE(update::EnterBootDownloader(context_));
  EXPECT_EQ(doc_.Line(0).diag_channel.ErrorText(), "the stick did not come back within 120 s");
  EXPECT_GE(clock_.NowMs() - before, discovery::kReenumerationLimitMs);
  EXPECT_LT(clock_.NowMs() - before, discovery::kReenumerationLimitMs + 60000);
  EXPECT_TRUE(RequestsWithCode(0x06).empty());
}

// The bytes of every stream write to the open image of `type`, by address.
std::vector<uint8_t> WrittenImage(const std::vector<Packet>& requests, int type) {
  std::vector<uint8_t> image;
  int open_type = -1;
  for (const auto& r : requests) {
    if (r[0] == 0x1B) open_type = r.size() > 1 ? r[1] : -1;
    if (r[0] == 0x15) open_type = -1;
    if (r[0] != 0x07 || open_type != type) continue;
    const uint32_t address = protocol::ReadLe32(&r[1]);
    if (image.size() < address + r.size() - 5) image.resize(address + r.size() - 5);
    std::copy(r.begin() + 5, r.end(), image.begin() + address);
  }
  return image;
}

std::vector<uint8_t> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(DownloadSequenceTest, OnePassWritesEveryImageInOrder) {
  ASSERT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Written);
  EXPECT_EQ(OpenedTypes(), (std::vector<int>{2, 3, 4, 5, 10, 9}));
  // The probe write comes first: the letter a and 1023 zeros, to 0xFFFFFFFF.
  const Packet& probe = stick_.requests[0];
  ASSERT_EQ(probe.size(), 5u + 1024);
  EXPECT_EQ(test::Hex(Packet(probe.begin(), probe.begin() + 6)), "07 ff ff ff ff 61");
  EXPECT_TRUE(std::all_of(probe.begin() + 6, probe.end(), [](uint8_t b) { return b == 0; }));
  const auto partition = RequestsWithCode(0x19);
  ASSERT_EQ(partition.size(), 1u);
  EXPECT_EQ(Packet(partition[0].begin() + 2, partition[0].end()), FileBytes(dir_ / "partition.mbn"));

  const std::pair<int, const char*> bodies[] = {{2, "qcsblhd_cfgdata.mbn"}, {3, "qcsbl.mbn"},
                                                {4, "oemsbl.mbn"}, {5, "amss.mbn"},
                                                {10, "nandprgcombined.mbn"}, {9, "efs.mbn"}};
  for (const auto& [type, file] : bodies) {
    SCOPED_TRACE(file);
    EXPECT_EQ(WrittenImage(stick_.requests, type), FileBytes(dir_ / file));
  }
  // The headers go with their open requests.
  for (const auto& r : RequestsWithCode(0x1B)) {
    if (r[1] == 5) {
      EXPECT_EQ(Packet(r.begin() + 2, r.end()), FileBytes(dir_ / "amsshd.mbn"));
    }
  }
  EXPECT_EQ(display_.progress.back(), 80);
}

TEST_F(DownloadSequenceTest, ProgressFollowsTheApplicationAndFileSystemBlocks) {
  struct Case {
    size_t amss;
    size_t efs;
    std::vector<int> progress;
  } cases[] = {
      // Below 24 KiB every application block is a percent; 5000 bytes of file system too.
      {10 * 1024, 5000, {23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 51, 52, 53, 54, 55, 56, 80}},
      // 48 blocks make two blocks a percent: 26 to 50. 58 blocks of file system: 51 to 80.
      {48 * 1024, 58 * 1024, {}},
  };
  for (auto& c : cases) {
    if (c.progress.empty()) {
      c.progress = {23, 24, 25};
      for (int p = 26; p <= 50; ++p) c.progress.push_back(p);
      for (int p = 51; p <= 80; ++p) c.progress.push_back(p);
      c.progress.push_back(80);
    }
    SCOPED_TRACE(c.amss);
    WriteImage("amss.mbn", c.amss);
    WriteImage("efs.mbn", c.efs);
    display_.progress.clear();
    clock_.ClearSleeps();
    ASSERT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Written);
    EXPECT_EQ(display_.progress, c.progress);
  }
}

TEST_F(DownloadSequenceTest, AStopEndsProgrammingAtOnce) {
  doc_.Line(0).running = 0;  // the user stopped before the boot loaders were written
  clock_.ClearSleeps();
  EXPECT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Stopped);
  // The application step notices the stop after its first progress step; nothing is retried
  // and no second pass rewrites the boot loaders.
  EXPECT_EQ(std::count(display_.statuses.begin(), display_.statuses.end(),
                       "downloading is stopped by manual!"),
            1);
  EXPECT_EQ(OpenedTypes(), (std::vector<int>{2, 3, 4, 5}));
  EXPECT_EQ(RequestsWithCode(0x15).size(), 3u);  // the three boot loaders' closes
}

TEST_F(DownloadSequenceTest, AStopInTheFileSystemStepEndsProgrammingToo) {
  stick_.policy = [&](const Packet& r, bool flagged) -> std::optional<Packet> {
    if (r[0] == 0x1B && r[1] == 9) doc_.Line(0).running = 0;  // stopped as the file system opens
    return test::FakeProgrammer::Default(r, flagged);
  };
  EXPECT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Stopped);
  EXPECT_EQ(OpenedTypes(), (std::vector<int>{2, 3, 4, 5, 10, 9}));
}

TEST_F(DownloadSequenceTest, TwentyAbandonedPassesFail) {
  stick_.policy = [](const Packet& r, bool flagged) -> std::optional<Packet> {
    if (r[0] == 0x17) return Packet{0x0D, 0x0C, 0, 0, 0};  // incorrect security code
    return test::FakeProgrammer::Default(r, flagged);
  };
  EXPECT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Failed);
  EXPECT_EQ(RequestsWithCode(0x07).size(), 20u);  // one probe write per pass
  EXPECT_TRUE(RequestsWithCode(0x19).empty());
}

TEST_F(DownloadSequenceTest, AFileSystemFailureInPassOneIsRecoveredByPassTwo) {
  int efs_opens = 0;
  stick_.policy = [&](const Packet& r, bool flagged) -> std::optional<Packet> {
    // Every open of the file system fails during the first pass: 3 tries of the step, 3 open
    // requests each, 2 attempts per request.
    if (r[0] == 0x1B && r[1] == 9 && ++efs_opens <= 18) return Packet{0x0D, 0x07, 0, 0, 0};
    return test::FakeProgrammer::Default(r, flagged);
  };
  ASSERT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Written);
  EXPECT_TRUE(StatusSeen("Enter Download EFS mode fail!"));
  EXPECT_EQ(OpenedTypes(), (std::vector<int>{2, 3, 4, 5, 10, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
                                             9, 9, 9, 9, 9, 2, 3, 4, 5, 10, 9}));
  // Pass two starts over: close, no-op, probe write, security mode, partition table, and
  // the first image of the pass.
  auto second_qcsbl_header = std::find_if(stick_.requests.rbegin(), stick_.requests.rend(),
                                          [](const Packet& r) { return r[0] == 0x1B && r[1] == 2; });
  std::vector<uint8_t> codes;
  for (auto it = second_qcsbl_header.base() - 6; it != second_qcsbl_header.base(); ++it)
    codes.push_back((*it)[0]);
  EXPECT_EQ(test::Hex(codes), "15 09 07 17 19 1b");
  EXPECT_EQ(display_.progress.back(), 80);
}

TEST_F(DownloadSequenceTest, RestartWaitsForTheStickAndReadsItsVersion) {
  ASSERT_TRUE(images::RestartAfterProgramming(context_));
  EXPECT_EQ(test::Hex(stick_.requests[0]), "0b");
  EXPECT_EQ(doc_.Line(0).texts.VersionText(), "NEW_FW");
  EXPECT_EQ(doc_.Line(0).device_state, line::DeviceState::Answered);

  registry_.Clear();
  EXPECT_FALSE(images::RestartAfterProgramming(context_));
  EXPECT_TRUE(StatusSeen("the stick did not come back within 120 s"));
}

}  // namespace
}  // namespace flotilla
