// The line-level download sequences against a fake stick on the virtual clock: entering the
// boot downloader, the programmer upload and start, the programming passes and the restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake_programmer.h"
#include "discovery/port_wait.h"
#include "images/programming.h"
#include "platform/memory_registry.h"
#include "protocol/boot_downloader.h"
#include "protocol/byte_order.h"
#include "protocol/diag.h"
#include "protocol/streaming.h"
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
  // The requests (by code), re-opens and pauses of 50 ms or more, in order, after `first_sleep`
  // sleeps: the retry schedule as the device and the clock saw it. Shorter sleeps are the
  // exchanges' own polling.
  std::string Schedule(size_t first_sleep = 0) const {
    const auto& sleeps = clock_.Sleeps();
    std::string out;
    auto add = [&](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
    size_t mark = 0;
    for (size_t i = first_sleep; i <= sleeps.size(); ++i) {
      for (; mark < stick_.marks.size() && stick_.marks[mark].first <= i; ++mark)
        if (stick_.marks[mark].first >= first_sleep) add(stick_.marks[mark].second);
      if (i < sleeps.size() && sleeps[i] >= 50) add(std::to_string(sleeps[i]));
    }
    return out;
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

// Sizes that are not whole multiples of the steps count past their range; the percentage shown
// stops at the range's end instead of jumping back when the next image starts.
TEST_F(DownloadSequenceTest, ProgressNeverRunsBackwards) {
  const struct {
    size_t amss;
    size_t efs;
  } cases[] = {{64 * 1024, 96 * 1024}, {150000, 90000}, {49 * 1024, 59 * 1024 + 1}, {71 * 1024, 86 * 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.amss) + " and " + std::to_string(c.efs) + " bytes");
    WriteImage("amss.mbn", c.amss);
    WriteImage("efs.mbn", c.efs);
    display_.progress.clear();
    ASSERT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Written);
    EXPECT_TRUE(std::is_sorted(display_.progress.begin(), display_.progress.end()))
        << ::testing::PrintToString(display_.progress);
    EXPECT_EQ(display_.progress.back(), 80);
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

// Mend: twenty passes against a programmer that answers nothing would take half an hour of
// time-outs; after two silent passes in a row no further pass is made.
TEST_F(DownloadSequenceTest, AProgrammerThatAnswersNothingIsGivenUpAfterTwoPasses) {
  stick_.policy = [](const Packet&, bool) -> std::optional<Packet> { return std::nullopt; };
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(images::ProgramImages(context_), images::ProgrammingResult::Failed);
  EXPECT_EQ(RequestsWithCode(0x07).size(), 3u);  // the first pass's probe, three times
  EXPECT_EQ(RequestsWithCode(0x09).size(), 2u);  // the second pass's two no-ops
  EXPECT_LT(clock_.NowMs() - start, 5u * 60 * 1000);
  EXPECT_EQ(display_.statuses.back(),
            "Line1: the flash programmer answered nothing in 2 passes, the passes were stopped");
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

// Packets that refuse a request: a DIAG error reply, a boot downloader NAK, a streaming error.
std::optional<Packet> Refusal(const Packet& request, bool flagged) {
  if (!flagged) return Packet{0x13, request[0]};
  if (request[0] == 0x01 || request[0] >= 0x09 || (request[0] == 0x07 && request.size() > 1))
    return Packet{0x0D, 0x07, 0, 0, 0};  // a flash programmer request
  return Packet{0x03, 0x00, 0x07};  // a boot downloader request
}

TEST_F(DownloadSequenceTest, EveryDownloadPathExchangeAgainstASilentStick) {
  stick_.policy = [](const Packet&, bool) -> std::optional<Packet> { return std::nullopt; };
  protocol::PhoneChannel& diag = doc_.Line(0).diag_channel;
  const uint8_t data[4] = {1, 2, 3, 4};
  protocol::FlashInfo flash;
  struct Case {
    const char* name;
    std::function<bool()> run;
    size_t requests;
    uint64_t ms;
  } cases[] = {
      {"prepare downloader", [&] { return protocol::PrepareDownloader(diag); }, 1, 2010},
      {"spc unlock", [&] { return protocol::UnlockServiceProgramming(diag); }, 1, 2010},
      {"offline", [&] { return protocol::PutOffline(diag); }, 1, 10010},
      {"subsystem 4", [&] { return protocol::QuerySubsystem4(diag); }, 1, 2010},
      {"switch to the boot downloader", [&] { return protocol::SwitchToBootDownloader(diag); }, 1, 20010},
      {"reset", [&] { return protocol::ResetPhone(diag); }, 1, 10010},
      {"boot no-op", [&] { return protocol::DloadNop(diag); }, 1, 20010},
      {"boot parameters", [&] { return protocol::DloadParameters(diag, flash); }, 1, 20010},
      {"boot write", [&] { return protocol::DloadWrite(diag, 0x00800000, data, 4); }, 3, 15030},
      {"boot go", [&] { return protocol::DloadGo(diag, 0x0080, 0); }, 3, 6030},
      {"boot reset", [&] { return protocol::DloadReset(diag); }, 3, 6030},
      {"hello", [&] { return protocol::StreamHello(diag); }, 3, 15030},
      {"stream no-op", [&] { return protocol::StreamNop(diag); }, 1, 5010},
      {"security mode", [&] { return protocol::StreamSecurityMode(diag); }, 3, 6030},
      {"partition table", [&] { return protocol::StreamPartitionTable(diag, data, 4); }, 1, 100010},
      {"open", [&] { return protocol::StreamOpenMultiImage(diag, 2, nullptr, 0); }, 2, 50020},
      {"stream write", [&] { return protocol::StreamWrite(diag, data, 0, 4); }, 1, 60268},
      {"close", [&] { return protocol::StreamClose(diag); }, 3, 60030},
      {"stream reset", [&] { return protocol::StreamReset(diag); }, 3, 60030},
      {"EnterBootDownloader", [&] { return update::EnterBootDownloader(context_); }, 4, 16340},
      {"StartFlashProgrammer", [&] { return update::StartFlashProgrammer(context_); }, 21, 79710},
      // Two silent passes, then no more (twenty took 98 requests and 28 minutes).
      {"ProgramImages",
       [&] { return images::ProgramImages(context_) == images::ProgrammingResult::Written; }, 8, 267854},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    stick_.requests.clear();
    const uint64_t start = clock_.NowMs();
    EXPECT_FALSE(c.run());
    EXPECT_EQ(stick_.requests.size(), c.requests);
    EXPECT_EQ(clock_.NowMs() - start, c.ms);
  }
}

TEST_F(DownloadSequenceTest, RetrySchedulesOfTheDownloadSteps) {
  // Each row refuses the requests it names; the schedule lists the requests (by code),
  // re-opens and pauses up to the step's end, or for the programming passes the first pass up
  // to where the second begins.
  int open_type = -1;  // the image the programmer has open
  auto code_is = [](uint8_t code) { return [code](const Packet& r) { return r[0] == code; }; };
  auto boot = [](uint8_t code) {
    return [code](const Packet& r) { return r[0] == code && (code != 0x07 || r.size() == 1); };
  };
  auto open_of = [](int type) { return [type](const Packet& r) { return r[0] == 0x1B && r[1] == type; }; };
  auto in_image = [&](uint8_t code, int type) {
    return [&open_type, code, type](const Packet& r) {
      const bool probe = r[0] == 0x07 && r.size() >= 5 && r[1] == 0xFF && r[2] == 0xFF;
      return r[0] == code && !probe && open_type == type;
    };
  };
  auto enter = [&] { return update::EnterBootDownloader(context_); };
  auto start = [&] { return update::StartFlashProgrammer(context_); };
  auto program = [&] { return images::ProgramImages(context_) == images::ProgrammingResult::Written; };
  struct Case {
    const char* name;
    std::function<bool(const Packet&)> refuse;
    std::function<bool()> run;
    bool ok;
    const char* schedule;
  } cases[] = {
      {"prepare refused", code_is(0x5C), enter, false,
       "5c 300 5c 3000 5c 5000 5c"},
      {"offline refused", code_is(0x29), enter, false,
       "5c 500 41 50 29 300 29 5000 29 open 8000 29"},
      {"boot no-op refused", boot(0x06), enter, false,
       "5c 500 41 50 29 50 4b 50 3a 5000 open 06 2000 06 3000 06 5000 open 06 8000 06 "
       "open 10000 06"},
      {"boot parameters refused", boot(0x07), enter, false,
       "5c 500 41 50 29 50 4b 50 3a 5000 open 06 07 5000 07 3000 07 5000 07 open 8000 "
       "07"},
      {"go refused", boot(0x05), start, true,
       "05 05 05 500 05 05 05 open 2000 05 05 05 open 2000 05 05 05 2000 01 09"},
      {"hello refused", code_is(0x01), start, false,
       "05 2000 01 01 01 2000 01 01 01 open 2000 01 01 01"},
      {"stream no-op refused", code_is(0x09), start, false,
       "05 2000 01 09 1000 open 09 1000 open 09"},
      {"probe refused", [](const Packet& r) { return r[0] == 0x07 && r.size() >= 5 && r[1] == 0xFF; },
       program, false,
       "07 500 07 open 2000 07 5000"},
      {"security mode refused", code_is(0x17), program, false,
       "07 2000 17 17 17 500 17 17 17 open 2000 17 17 17"},
      {"partition table refused", code_is(0x19), program, false,
       "07 2000 17 19 2000 19 2000 19 5000 19 2000 19 2000 19 open 2000 19 2000 19 "
       "2000 19"},
      {"qcsbl header open refused", open_of(2), program, false,
       "07 2000 17 19 2000 1b 1b 2000 1b 1b open 2000 1b 1b 500 1b 1b 2000 1b 1b open "
       "2000 1b 1b open 2000 1b 1b 2000 1b 1b open 2000 1b 1b"},
      {"qcsbl open refused", open_of(3), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 1b 500 1b 1b open 2000 1b 1b 500 1b 1b 500 "
       "1b 1b open 2000 1b 1b 1b 1b 500 1b 1b open 2000 1b 1b 2000"},
      {"oemsbl open refused", open_of(4), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 1b 2000 1b 1b 500 1b 1b 2000 "
       "1b 1b open 2000 1b 1b 2000 1b 1b"},
      {"application open refused", open_of(5), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 1b 2000 1b 1b "
       "92000 1b 1b 2000 1b 1b 2000 1b 1b 92000 1b 1b"},
      {"nand programmer open refused", open_of(10), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 1b 2000 1b 1b "
       "2000 1b 1b 2000 1b 1b"},
      {"file system open refused", open_of(9), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 07 07 15 1b 1b "
       "2000 1b 1b 2000 1b 1b 2000 1b 1b 2000 1b 1b 2000 1b 1b 2000 1b 1b 2000 1b 1b "
       "2000 1b 1b"},
      {"qcsbl header block refused", in_image(0x07, 2), program, false,
       "07 2000 17 19 2000 1b 07 500 07 open 2000 07 500 1b 07 500 07 open 2000 07 "
       "open 2000 1b 07 500 07 open 2000 07"},
      {"qcsbl block refused", in_image(0x07, 3), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 500 07 open 2000 07 500 1b 07 500 07 open "
       "2000 07 1b 07 500 07 open 2000 07 2000"},
      {"oemsbl block refused", in_image(0x07, 4), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 500 07 open 2000 07 500 1b "
       "07 500 07 open 2000 07 open 2000 1b 07 500 07 open 2000 07"},
      {"application block refused", in_image(0x07, 5), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 2000 07 "
       "open 2000 07 2000 open 2000 07 2000 1b 07 2000 07 open 2000 07 2000 open 2000 "
       "07"},
      {"nand programmer block refused", in_image(0x07, 10), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 07 2000 07 open "
       "2000 07 2000 open 2000 07"},
      {"file system block refused", in_image(0x07, 9), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 07 07 15 1b 07 "
       "2000 open 2000 07 2000 open 2000 07 2000 1b 07 2000 open 2000 07 2000 open "
       "2000 07 2000 1b 07 2000 open 2000 07 2000 open 2000 07"},
      {"qcsbl header close refused", in_image(0x15, 2), program, false,
       "07 2000 17 19 2000 1b 07 07 15 15 15 500 15 15 15 open 2000 15 15 15 500 1b 07 "
       "07 15 15 15 500 15 15 15 open 2000 15 15 15 open 2000 1b 07 07 15 15 15 500 15 "
       "15 15 open 2000 15 15 15"},
      {"qcsbl close refused", in_image(0x15, 3), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 15 15 500 15 15 15 open 2000 15 "
       "15 15 500 1b 07 07 07 15 15 15 500 15 15 15 open 2000 15 15 15 1b 07 07 07 15 "
       "15 15 500 15 15 15 open 2000 15 15 15 2000"},
      {"oemsbl close refused", in_image(0x15, 4), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 15 15 500 15 15 "
       "15 open 2000 15 15 15 500 1b 07 07 07 15 15 15 500 15 15 15 open 2000 15 15 15 "
       "open 2000 1b 07 07 07 15 15 15 500 15 15 15 open 2000 15 15 15"},
      {"application close refused", in_image(0x15, 5), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 15 15 500 15 15 15 open "
       "2000 15 15 15 2000 1b 07 50 07 50 07 50 07 50 2000 07 50 07 50 07 50 07 50 07 "
       "50 07 50 15 15 15 500 15 15 15 open 2000 15 15 15"},
      {"nand programmer close refused", in_image(0x15, 10), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 07 07 15 15 15"},
      {"file system close refused", in_image(0x15, 9), program, false,
       "07 2000 17 19 2000 1b 07 07 15 1b 07 07 07 15 1b 07 07 07 15 1b 07 50 07 50 07 "
       "50 07 50 2000 07 50 07 50 07 50 07 50 07 50 07 50 15 10000 1b 07 07 15 1b 07 "
       "500 07 500 07 500 07 500 07 500 15 15 15 200 15 15 15 200 15 15 15 2000 1b 07 "
       "500 07 500 07 500 07 500 07 500 15 15 15 200 15 15 15 200 15 15 15 2000 1b 07 "
       "500 07 500 07 500 07 500 07 500 15 15 15 200 15 15 15 200 15 15 15"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    open_type = -1;
    stick_.policy = [&](const Packet& r, bool flagged) -> std::optional<Packet> {
      if (c.refuse(r)) return Refusal(r, flagged);
      if (r[0] == 0x1B) open_type = r[1];
      return test::FakeProgrammer::Default(r, flagged);
    };
    stick_.marks.clear();
    clock_.ClearSleeps();
    EXPECT_EQ(c.run(), c.ok);
    // The second pass begins with its pause, close and no-op; only pass two sends a no-op.
    std::string schedule = Schedule();
    const size_t nop = schedule.find(" 09 ");
    const size_t second_pass = nop == std::string::npos ? nop : schedule.rfind(" 2000 15", nop);
    if (second_pass != std::string::npos) schedule.resize(second_pass);
    EXPECT_EQ(schedule, c.schedule);
  }
}

TEST_F(DownloadSequenceTest, StatusTextsOfTheProgrammingSteps) {
  // Each row breaks one thing for every pass; the statuses logged are exactly the row's text
  // (or none), byte for byte, typos and exclamation marks as they are.
  enum Fault { kMissing, kEmpty, kOpenRefused, kCloseRefused };
  struct Case {
    Fault fault;
    const char* file;  // the file that is missing or empty
    int type;          // the image type whose open or close is refused; 0 the partition table
    const char* status;
    bool written;  // whether the passes still end with every image written
  } cases[] = {
      {kMissing, "partition.mbn", 0, "open file fail!", false},
      {kMissing, "qcsblhd_cfgdata.mbn", 0, "open file fail!", false},
      {kMissing, "qcsbl.mbn", 0, "open file fail!", false},
      {kMissing, "oemsblhd.mbn", 0, "open file fail!", false},
      {kMissing, "oemsbl.mbn", 0, "open file fail!", false},
      {kMissing, "amsshd.mbn", 0, "打开文件失败！", false},
      {kMissing, "amss.mbn", 0, "打开文件失败!", false},
      {kMissing, "nandprghd.mbn", 0, "打开文件失败！", false},
      {kMissing, "nandprgcombined.mbn", 0, "打开文件失败！", false},
      {kMissing, "efs.mbn", 0, "Open file fail", false},
      {kEmpty, "partition.mbn", 0, "The length of file is not correct", false},
      {kEmpty, "qcsblhd_cfgdata.mbn", 0, "The length of file is not correct", false},
      {kEmpty, "qcsbl.mbn", 0, "The length of file is not correct", false},
      {kEmpty, "oemsblhd.mbn", 0, "The length of file is not correct", false},
      {kEmpty, "oemsbl.mbn", 0, "The length of file is not correct", false},
      {kEmpty, "amsshd.mbn", 0, "文件长度不正确", false},
      {kEmpty, "amss.mbn", 0, "", true},
      {kEmpty, "nandprghd.mbn", 0, "文件长度不正确", false},
      {kEmpty, "nandprgcombined.mbn", 0, "", true},
      {kEmpty, "efs.mbn", 0, "", true},
      {kOpenRefused, nullptr, 0, "", false},
      {kOpenRefused, nullptr, 2, "进入Secondbootloaderheader模式失败!", false},
      {kOpenRefused, nullptr, 3, "enter Secondbootloader mode fail!", false},
      {kOpenRefused, nullptr, 4, "enter DownloadOEMbootloader mode fail!", false},
      {kOpenRefused, nullptr, 5, "进入DownloadOEMbootloader模式失败!", false},
      {kOpenRefused, nullptr, 10, "下载nandprghd失败!", false},
      {kOpenRefused, nullptr, 9, "Enter Download EFS mode fail!", false},
      {kCloseRefused, nullptr, 2, "ClosePacket error", false},
      {kCloseRefused, nullptr, 3, "ClosePacket error", false},
      {kCloseRefused, nullptr, 4, "ClosePacket error", false},
      {kCloseRefused, nullptr, 5, "ClosePackert error", false},
      {kCloseRefused, nullptr, 10, "ClosePacket出错", false},
      {kCloseRefused, nullptr, 9, "ClosePackert error", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file ? c.file : "type ") + (c.file ? "" : std::to_string(c.type)) +
                 " fault " + std::to_string(c.fault));
    for (const auto& [name, size] : kImageSizes) WriteImage(name, size);
    if (c.fault == kMissing) std::filesystem::remove(dir_ / c.file);
    if (c.fault == kEmpty) WriteImage(c.file, 0);
    int open_type = -1;
    stick_.policy = [&](const Packet& r, bool flagged) -> std::optional<Packet> {
      if (r[0] == 0x1B) open_type = r[1];
      const bool refused =
          (c.fault == kOpenRefused && (c.type == 0 ? r[0] == 0x19 : r[0] == 0x1B && r[1] == c.type)) ||
          (c.fault == kCloseRefused && r[0] == 0x15 && open_type == c.type);
      if (refused) return Refusal(r, flagged);
      return test::FakeProgrammer::Default(r, flagged);
    };
    display_.statuses.clear();
    const auto result = images::ProgramImages(context_);
    EXPECT_EQ(result, c.written ? images::ProgrammingResult::Written
                                : images::ProgrammingResult::Failed);
    const std::set<std::string> seen(display_.statuses.begin(), display_.statuses.end());
    EXPECT_EQ(seen, *c.status ? std::set<std::string>{c.status} : std::set<std::string>{});
  }
}

}  // namespace
}  // namespace flotilla
