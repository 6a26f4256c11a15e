// The real download sequences against the in-process stick on the virtual clock: into the
// boot downloader, the programmer upload and start, the programming passes and the restart,
// with the flash compared byte for byte with the image set afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "images/programming.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"
#include "protocol/boot_downloader.h"
#include "protocol/diag.h"
#include "protocol/streaming.h"
#include "sim/transport/inprocess_stick.h"
#include "tools/mkimages/image_set.h"
#include "update/downloader_steps.h"
#include "line/flotilla_doc.h"

namespace flotilla {
namespace {

namespace fs = std::filesystem;
using sim::StickMode;

constexpr int kAtPort = 3;
constexpr int kDiagPort = 4;
constexpr char kNewVersion[] = "BD_XV418V2.0.1B11";

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int percent) override { progress.push_back(percent); }
  std::vector<std::string> statuses;
  std::vector<int> progress;
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Where each image type of the image set lands, with the header file it is opened with.
struct ImageFiles {
  int type;
  const char* header;  // nullptr: opened without one
  const char* body;
};
const ImageFiles kImageFiles[] = {
    {2, nullptr, "qcsblhd_cfgdata.mbn"},         {3, nullptr, "qcsbl.mbn"},
    {4, "oemsblhd.mbn", "oemsbl.mbn"},           {5, "amsshd.mbn", "amss.mbn"},
    {10, "nandprghd.mbn", "nandprgcombined.mbn"}, {9, nullptr, "efs.mbn"},
};

class SimDownloadTest : public ::testing::Test {
 protected:
  SimDownloadTest() {
    dir_ = fs::path(::testing::TempDir()) /
           ("flotilla_sim_download_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(dir_);
    mkimages::ImageSetOptions options;
    options.version = kNewVersion;
    options.amss_size = 20 * 1024;
    options.efs_size = 12 * 1024;
    options.seed = 7;
    EXPECT_EQ(mkimages::WriteImageSet(dir_ / "images", options).outcome,
              mkimages::ImageSetResult::Outcome::kWritten);
    // The boot downloader starts only the image set's own programmer.
    config_.check_programmer = true;
    config_.programmer = ReadFile(dir_ / "images" / "armprg.bin");
  }
  ~SimDownloadTest() override {
    context_.reset();
    doc_.reset();
    stick_.reset();
    fs::remove_all(dir_);
  }

  // Builds the stick from config_ and a document whose line 0 has it.
  void Start() {
    // The document's devices go before the stick they belong to.
    context_.reset();
    doc_.reset();
    stick_ = std::make_unique<sim::InProcessStick>(clock_, config_);
    stick_->SetPortNumbers(kAtPort, kDiagPort);
    stick_->SetRegistry(&registry_);
    doc_ = std::make_unique<line::CFlotillaDoc>(
        line::DocEnvironment{*stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"});
    context_ = std::make_unique<line::LineContext>(
        line::LineContext{*doc_, stick_->HostRegistry(), display_, prompts_, 0});
    line::LineRecord& line = doc_->Line(0);
    line.paths.image_directory = (dir_ / "images").string();
    line.paths.flash_programmer = (dir_ / "images" / "armprg.bin").string();
    line.running = 1;
    line.data_port = kAtPort;
    line.diag_port = kDiagPort;
    ASSERT_TRUE(doc_->OpenDiagPort(0, kDiagPort, line::kLineBaud));
  }

  // From the firmware to a running flash programmer.
  void StartProgrammer() {
    ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
    ASSERT_TRUE(update::UploadFlashProgrammer(*context_)) << Diag().ErrorText();
    ASSERT_TRUE(update::StartFlashProgrammer(*context_)) << Diag().ErrorText();
    ASSERT_EQ(stick_->Model().Mode(), StickMode::FlashProgrammer);
  }

  // The flash holds the partition table and every image of the set as its files hold them.
  void ExpectFlashHoldsTheImageSet() {
    const fs::path images = dir_ / "images";
    const sim::FlashStore& flash = stick_->Flash();
    EXPECT_EQ(flash.PartitionTable(), ReadFile(images / "partition.mbn"));
    for (const ImageFiles& f : kImageFiles) {
      SCOPED_TRACE(f.body);
      const sim::FlashImage* image = flash.Image(f.type);
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->body, ReadFile(images / f.body));
      EXPECT_EQ(image->header, f.header ? ReadFile(images / f.header) : std::vector<uint8_t>{});
    }
    EXPECT_EQ(flash.Images().size(), std::size(kImageFiles));
  }

  protocol::PhoneChannel& Diag() { return doc_->Line(0).diag_channel; }

  platform::VirtualClock clock_;
  sim::StickConfig config_;
  platform::MemoryRegistry registry_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  std::unique_ptr<sim::InProcessStick> stick_;
  std::unique_ptr<line::CFlotillaDoc> doc_;
  std::unique_ptr<line::LineContext> context_;
  fs::path dir_;
};

TEST_F(SimDownloadTest, AFullUpdateWritesEveryImageAndTheStickReportsTheNewVersion) {
  config_.state_dir = (dir_ / "state").string();
  Start();
  ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
  // The boot downloader presents its DIAG port alone.
  EXPECT_EQ(stick_->Model().Mode(), StickMode::BootDownloader);
  platform::RegistryHandle key = 0;
  EXPECT_EQ(registry_.OpenLocalMachineKey("SYSTEM\\CurrentControlSet\\Services\\qcusbmdm6k\\Enum", 0, key),
            platform::kRegistryFileNotFound);
  EXPECT_EQ(registry_.OpenLocalMachineKey("SYSTEM\\CurrentControlSet\\Services\\qcusbser6k\\Enum", 0, key),
            platform::kRegistryOk);
  registry_.CloseKey(key);
  auto at = stick_->CreateSerialDevice();
  EXPECT_FALSE(at->Open(kAtPort, line::kLineBaud, 8, 1));

  ASSERT_TRUE(update::UploadFlashProgrammer(*context_)) << Diag().ErrorText();
  EXPECT_EQ(stick_->Model().Downloads().Uploaded(), ReadFile(dir_ / "images" / "armprg.bin"));
  ASSERT_TRUE(update::StartFlashProgrammer(*context_)) << Diag().ErrorText();
  EXPECT_EQ(stick_->Model().Mode(), StickMode::FlashProgrammer);

  ASSERT_EQ(images::ProgramImages(*context_), images::ProgrammingResult::Written);
  ExpectFlashHoldsTheImageSet();
  EXPECT_NE(doc_->Line(0).texts.VersionText(), kNewVersion);

  ASSERT_TRUE(images::RestartAfterProgramming(*context_));
  EXPECT_EQ(stick_->Model().Mode(), StickMode::Firmware);
  EXPECT_EQ(doc_->Line(0).texts.VersionText(), kNewVersion);
  EXPECT_EQ(registry_.OpenLocalMachineKey("SYSTEM\\CurrentControlSet\\Services\\qcusbmdm6k\\Enum", 0, key),
            platform::kRegistryOk);
  registry_.CloseKey(key);

  // The state directory holds the same bytes under the documented names.
  const fs::path flash = dir_ / "state" / "flash";
  const fs::path images = dir_ / "images";
  EXPECT_EQ(ReadFile(flash / "partition.bin"), ReadFile(images / "partition.mbn"));
  for (const ImageFiles& f : kImageFiles) {
    SCOPED_TRACE(f.body);
    const std::string stem = "image-" + std::to_string(f.type);
    EXPECT_EQ(ReadFile(flash / (stem + ".bin")), ReadFile(images / f.body));
    EXPECT_EQ(fs::exists(flash / (stem + ".hdr")), f.header != nullptr);
    if (f.header) {
      EXPECT_EQ(ReadFile(flash / (stem + ".hdr")), ReadFile(images / f.header));
    }
  }

  // A stick started again on the same state comes up with the written firmware.
  sim::StickModel again(config_);
  EXPECT_EQ(again.Config().version_texts[0], kNewVersion);
  EXPECT_EQ(again.Flash().Image(5)->body, ReadFile(images / "amss.mbn"));
}

TEST_F(SimDownloadTest, ANewFileSystemHoldsOnlyTheReadOnlyNvItems) {
  for (const bool holds : {false, true}) {
    SCOPED_TRACE(holds ? "the file system holds the NV items" : "the NV items live apart");
    config_.efs_holds_nv = holds;
    Start();
    sim::NvStore& nv = stick_->Model().Nv();
    sim::NvValue calibration{};
    calibration.fill(0x5A);
    ASSERT_EQ(nv.Write(550, calibration), sim::kNvDone);
    StartProgrammer();
    ASSERT_EQ(images::ProgramImages(*context_), images::ProgrammingResult::Written);

    sim::NvValue value{};
    EXPECT_EQ(nv.Read(550, value), holds ? sim::kNvNotActive : sim::kNvDone);
    EXPECT_EQ(value == calibration, !holds);
    EXPECT_EQ(nv.Read(0, value), sim::kNvDone);  // the ESN, read-only, stays
    EXPECT_EQ(value, sim::NvStore::DefaultValue(0, config_.esn));
    // An item written again is there once more.
    EXPECT_EQ(nv.Write(550, calibration), sim::kNvDone);
    EXPECT_EQ(nv.Read(550, value), sim::kNvDone);
    EXPECT_EQ(value, calibration);
  }
}

TEST_F(SimDownloadTest, TheDownloadPathFindsThePortsUnderTheirNewNumbers) {
  config_.reenum_com_shift = 2;
  Start();
  ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
  EXPECT_EQ(doc_->Line(0).diag_port, kDiagPort + 2);
  ASSERT_TRUE(update::UploadFlashProgrammer(*context_)) << Diag().ErrorText();
  ASSERT_TRUE(update::StartFlashProgrammer(*context_)) << Diag().ErrorText();
  ASSERT_EQ(images::ProgramImages(*context_), images::ProgrammingResult::Written);
  ASSERT_TRUE(images::RestartAfterProgramming(*context_)) << Diag().ErrorText();
  EXPECT_EQ(doc_->Line(0).diag_port, kDiagPort + 4);
  EXPECT_EQ(doc_->Line(0).data_port, kAtPort + 4);
  EXPECT_EQ(doc_->Line(0).texts.VersionText(), kNewVersion);
}

TEST_F(SimDownloadTest, TheSwitchWhileOnlineIsRefusedAndTheStickStaysInItsFirmware) {
  Start();
  ASSERT_TRUE(protocol::PrepareDownloader(Diag()));
  EXPECT_FALSE(protocol::SwitchToBootDownloader(Diag()));
  EXPECT_EQ(Diag().ErrorText(), "Cannot Switch to Downloader, Since the DMSS isn't in a particular mode");
  clock_.Advance(10000);
  EXPECT_EQ(stick_->Model().Mode(), StickMode::Firmware);
  EXPECT_TRUE(stick_->PortsPresent());
}

TEST_F(SimDownloadTest, EachResetBringsTheFirmwareBackWithBothPorts) {
  struct Case {
    const char* name;
    bool start_programmer;
  } cases[] = {{"boot downloader reset", false}, {"flash programmer reset", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
    if (c.start_programmer) {
      ASSERT_TRUE(update::UploadFlashProgrammer(*context_));
      ASSERT_TRUE(update::StartFlashProgrammer(*context_));
      EXPECT_TRUE(protocol::StreamReset(Diag()));
    } else {
      EXPECT_TRUE(update::ResetLineDevice(*context_, true));
    }
    clock_.Advance(config_.reset_drop_ms + 100);
    EXPECT_FALSE(stick_->PortsPresent());
    clock_.Advance(config_.reenum_ms);
    EXPECT_TRUE(stick_->PortsPresent());
    EXPECT_EQ(stick_->Model().Mode(), StickMode::Firmware);
    auto at = stick_->CreateSerialDevice();
    EXPECT_TRUE(at->Open(kAtPort, line::kLineBaud, 8, 1));
    // Nothing was written, so the firmware keeps its own version.
    EXPECT_EQ(stick_->Model().Config().version_texts[0], sim::StickConfig().version_texts[0]);
  }
}

TEST_F(SimDownloadTest, TheBootDownloaderRefusesWritesOutsideItsRam) {
  Start();
  ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
  struct Case {
    const char* name;
    uint32_t address;
    uint32_t length;
    bool accepted;
  } cases[] = {
      {"first byte of RAM", 0x00800000, 16, true},
      {"last bytes of RAM", 0x008FFFF0, 16, true},
      {"below RAM", 0x007FFFF0, 16, false},
      {"across the end of RAM", 0x008FFFF8, 16, false},
      {"far above", 0x20000000, 1, false},
  };
  std::vector<uint8_t> data(1017, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(protocol::DloadWrite(Diag(), c.address, data.data(), c.length), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(Diag().ErrorText(),
                "Write a Block of Data to Memory Failed, Since destination address is invalid");
    }
  }
}

TEST_F(SimDownloadTest, ANegativeAcknowledgeFromThePlanFailsTheUploadWithItsReason) {
  struct Case {
    uint32_t reason;
    const char* text;
  } cases[] = {
      {2, "destination address is invalid"},
      {3, "operation length is invalid"},
      {7, "operation did not succeed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Start();
    std::string error;
    // Every attempt of the second block is refused.
    ASSERT_TRUE(stick_->SetFaultPlan(
        R"({"rules": [{"mode": "downloader", "code": "0x0F", "nth": 2, "times": 3, "action": "nak",
            "reason": )" + std::to_string(c.reason) + "}]}",
        error))
        << error;
    ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
    EXPECT_FALSE(update::UploadFlashProgrammer(*context_));
    EXPECT_EQ(Diag().ErrorText(), std::string("Write a Block of Data to Memory Failed, Since ") + c.text);
    // The first block went in, the refused one did not.
    EXPECT_EQ(stick_->Model().Downloads().Uploaded().size(), 1017u);
  }
}

TEST_F(SimDownloadTest, TheProgrammerStartsOnlyWhenTheUploadIsTheExpectedProgrammer) {
  const std::vector<uint8_t> file = ReadFile(dir_ / "images" / "armprg.bin");
  std::vector<uint8_t> other = file;
  other[100] ^= 0x01;
  struct Case {
    const char* name;
    bool check;
    std::vector<uint8_t> programmer;
    bool starts;
  } cases[] = {
      {"no programmer given: any upload starts", false, {}, true},
      {"the same bytes", true, file, true},
      {"one byte differs", true, other, false},
      {"one byte longer", true, [&] { auto v = file; v.push_back(0); return v; }(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config_.check_programmer = c.check;
    config_.programmer = c.programmer;
    Start();
    ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
    ASSERT_TRUE(update::UploadFlashProgrammer(*context_)) << Diag().ErrorText();
    EXPECT_EQ(protocol::DloadGo(Diag(), 0x0080, 0x0000), c.starts);
    if (!c.starts) {
      EXPECT_EQ(Diag().ErrorText(), "Cannot begin execution at an address, Since operation did not succeed");
    }
    EXPECT_EQ(stick_->Model().Mode(), c.starts ? StickMode::FlashProgrammer : StickMode::BootDownloader);
  }
}

TEST_F(SimDownloadTest, TheProgrammerTakesRequestsOnlyAfterTheHello) {
  Start();
  ASSERT_TRUE(update::EnterBootDownloader(*context_)) << Diag().ErrorText();
  ASSERT_TRUE(update::UploadFlashProgrammer(*context_));
  ASSERT_TRUE(protocol::DloadGo(Diag(), 0x0080, 0x0000));
  struct Case {
    const char* name;
    std::function<bool()> request;
    bool before_hello;
  } cases[] = {
      {"no-op", [&] { return protocol::StreamNop(Diag()); }, true},
      {"security mode", [&] { return protocol::StreamSecurityMode(Diag()); }, false},
      {"close", [&] { return protocol::StreamClose(Diag()); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.request(), c.before_hello);
  }
  ASSERT_TRUE(protocol::StreamHello(Diag()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.request());
  }
}

TEST_F(SimDownloadTest, TheProgrammerRefusesWritesOutOfSequenceOrBeyondTheImage) {
  config_.max_image_bytes = 4096;
  Start();
  StartProgrammer();
  const std::vector<uint8_t> table = ReadFile(dir_ / "images" / "partition.mbn");
  std::vector<uint8_t> block(1024, 0x33);
  struct Case {
    const char* name;
    bool open_first;
    uint32_t address;
    bool accepted;
    const char* reason;
  } cases[] = {
      {"probe without an image", false, 0xFFFFFFFF, true, ""},
      {"no image open", false, 0, false, "Command out of sequence"},
      {"inside the image", true, 3072, true, ""},
      {"past the allowed size, same image", false, 3073, false, "Invalid destination address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.open_first) {
      ASSERT_TRUE(protocol::StreamSecurityMode(Diag()));
      ASSERT_TRUE(protocol::StreamPartitionTable(Diag(), table.data(), static_cast<uint32_t>(table.size())));
      ASSERT_TRUE(protocol::StreamOpenMultiImage(Diag(), 3, nullptr, 0));
    }
    EXPECT_EQ(protocol::StreamWrite(Diag(), block.data(), c.address, 1024), c.accepted);
    if (!c.accepted) {
      EXPECT_TRUE(Contains(Diag().ErrorText(), c.reason)) << Diag().ErrorText();
    }
  }
  ASSERT_TRUE(protocol::StreamClose(Diag()));
  ASSERT_NE(stick_->Flash().Image(3), nullptr);
  EXPECT_EQ(stick_->Flash().Image(3)->body.size(), 4096u);
}

TEST_F(SimDownloadTest, StreamWriteFaultsFailTheBlockWithTheirReason) {
  struct Case {
    const char* name;
    const char* rule;
    const char* text;
  } cases[] = {
      {"two frames in one reply", R"({"mode": "stream", "code": 7, "action": "two_frames"})",
       "Command out of sequence"},
      {"an error frame", R"({"mode": "stream", "code": 7, "action": "stream_error", "reason": 10})",
       "Write-verify failed"},
      {"a damaged frame", R"({"mode": "stream", "code": 7, "action": "bad_fcs"})",
       "the Received Data is Wrong with CRC Checksum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    StartProgrammer();
    std::string error;
    ASSERT_TRUE(stick_->SetFaultPlan(std::string(R"({"rules": [)") + c.rule + "]}", error)) << error;
    std::vector<uint8_t> block(1024, 0);
    EXPECT_FALSE(protocol::StreamWrite(Diag(), block.data(), 0xFFFFFFFF, 1024));
    EXPECT_EQ(Diag().ErrorText(), std::string("Write a Block of Data to Memory Failed, Since ") + c.text);
  }
}

TEST_F(SimDownloadTest, FaultsInTheProgrammingPassesAreRecoveredByTheRetries) {
  struct Case {
    const char* name;
    const char* rule;
  } cases[] = {
      {"the first open fails twice",
       R"({"mode": "stream", "code": "0x1B", "nth": 1, "times": 2, "action": "stream_error", "reason": 7})"},
      {"the fourth close fails",
       R"({"mode": "stream", "code": "0x15", "nth": 4, "action": "stream_error", "reason": 16})"},
      {"a stall at the third open",
       R"({"mode": "stream", "code": "0x1B", "nth": 3, "action": "stall", "stall_ms": 30000})"},
      {"a lost block reply", R"({"mode": "stream", "code": 7, "nth": 9, "action": "no_reply"})"},
      // A block answered after the host gave up on it leaves answers arriving late; a later
      // refused block must be sent again, never counted as written.
      {"a late block reply, then a refused block",
       R"({"mode": "stream", "code": 7, "nth": 5, "action": "delay", "delay_ms": 60500},
          {"mode": "stream", "code": 7, "nth": 6, "action": "delay", "delay_ms": 300},
          {"mode": "stream", "code": 7, "nth": 8, "action": "stream_error", "reason": 10})"},
      {"a block written and refused in one burst",
       R"({"mode": "stream", "code": 7, "nth": 6, "action": "two_frames", "reason": 10})"},
      {"a block reply split by a pause",
       R"({"mode": "stream", "code": 7, "nth": 6, "action": "split", "split_at": 3, "gap_ms": 400})"},
      {"a block reply without its end flag",
       R"({"mode": "stream", "code": 7, "nth": 6, "action": "no_end_flag"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    StartProgrammer();
    std::string error;
    ASSERT_TRUE(stick_->SetFaultPlan(std::string(R"({"rules": [)") + c.rule + "]}", error)) << error;
    ASSERT_EQ(images::ProgramImages(*context_), images::ProgrammingResult::Written);
    ExpectFlashHoldsTheImageSet();
  }
}

TEST_F(SimDownloadTest, TheFaultPlanReadsTheDownloadModesAndActions) {
  struct Case {
    const char* json;
    const char* error;  // empty: accepted
  } cases[] = {
      {R"({"rules": [{"mode": "downloader", "code": 15, "action": "nak", "reason": 3}]})", ""},
      {R"({"rules": [{"mode": "stream", "action": "two_frames"}]})", ""},
      {R"({"rules": [{"mode": "stream", "action": "stall", "stall_ms": 100}]})", ""},
      {R"({"rules": [{"mode": "firmware", "action": "nak"}]})", "only the boot downloader"},
      {R"({"rules": [{"mode": "firmware", "action": "stall", "stall_ms": 5000}]})", ""},
      {R"({"rules": [{"mode": "stream", "code": 7, "nth": 40, "action": "vanish", "away_ms": 500}]})", ""},
      {R"({"rules": [{"port": "at", "command": "AT+ZRST", "action": "gone"}]})", ""},
      {R"({"rules": [{"mode": "stream", "action": "nak"}]})", "negative acknowledge"},
      {R"({"rules": [{"mode": "downloader", "action": "stream_error"}]})", "streaming error"},
      {R"({"rules": [{"mode": "ramdump", "action": "delay"}]})", "not modelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    sim::FaultPlan plan;
    std::string error;
    EXPECT_EQ(sim::FaultPlan::Parse(c.json, plan, error), std::string(c.error).empty());
    if (*c.error) {
      EXPECT_TRUE(Contains(error, c.error)) << error;
    }
  }
}

}  // namespace
}  // namespace flotilla
