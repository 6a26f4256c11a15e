// The update worker against the in-process stick on the virtual clock: a whole update, and
// each failure exit with its text, outcome and box.
#include "update/update_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "images/version_record.h"
#include "platform/memory_files.h"
#include "platform/posix/files.h"
#include "sim/transport/inprocess_stick.h"
#include "tap_device.h"
#include "tools/mkimages/image_set.h"
#include "update/device_watch.h"

namespace flotilla::update {
namespace {

namespace fs = std::filesystem;

constexpr int kAtPort = 3;
constexpr int kDiagPort = 4;
constexpr char kNewVersion[] = "BD_XV418V2.0.1B11";

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override {
    statuses.push_back(text);
    shown.push_back(text);
  }
  void SetLineProgress(int, int percent) override { progress.push_back(percent); }
  void SetLineIcon(int, line::LineIcon icon) override { icons.push_back(icon); }
  // The firmware version the window would show, among the status lines.
  void ShowLineVersions(int line) override {
    if (doc) shown.push_back("version " + doc->Line(line).texts.VersionText());
  }
  line::CFlotillaDoc* doc = nullptr;
  std::vector<std::string> statuses;
  std::vector<std::string> shown;
  std::vector<int> progress;
  std::vector<line::LineIcon> icons;
};

// The subsystems above the line as doubles that record what the worker asked of them.
class RecordingHost : public UpdateHost {
 public:
  explicit RecordingHost(fs::path amss) : amss_(std::move(amss)) {}
  bool RequireNvDirectory(line::LineContext&) override { return nv_directory; }
  bool BackupNvItems(line::LineContext&) override {
    calls.push_back("backup");
    if (stop_on_backup) *stop_on_backup = 0;  // the user stops while the items are saved
    return backup;
  }
  bool RestoreNvItems(line::LineContext& context, const std::string& file) override {
    calls.push_back("restore " + file);
    if (on_restore) on_restore(context);
    return restore;
  }
  protocol::VersionRecord LocateVersionRecord(line::LineContext&) override {
    protocol::VersionRecord record{};
    platform::PosixFileSystem files;
    if (auto amss = files.OpenForReading(amss_.string())) images::FindVersionRecord(*amss, record);
    return record;
  }
  void DeleteStagedImages() override { calls.push_back("delete staged"); }
  void RestartConnectionManager() override { calls.push_back("connection manager"); }
  bool CheckDeviceModel(line::LineContext&) override {
    calls.push_back("model check");
    return model_fits;
  }
  void ShowErrorBox(const std::string& text) override { boxes.push_back("error: " + text); }
  void ShowSuccessBox(const std::string& text) override { boxes.push_back("success: " + text); }
  void EndProgram() override { calls.push_back("end"); }

  bool nv_directory = true;
  bool backup = true;
  bool restore = true;
  // The model check's result; false stands for a user who answered No to the close question.
  bool model_fits = true;
  std::atomic<int32_t>* stop_on_backup = nullptr;
  std::function<void(line::LineContext&)> on_restore;
  std::vector<std::string> calls;
  std::vector<std::string> boxes;

 private:
  fs::path amss_;
};

void Plan(sim::InProcessStick& stick, const std::string& rule) {
  std::string error;
  EXPECT_TRUE(stick.SetFaultPlan(R"({"rules": [)" + rule + "]}", error)) << error;
}

class UpdateWorkerTest : public ::testing::Test {
 protected:
  UpdateWorkerTest() {
    dir_ = fs::path(::testing::TempDir()) /
           ("flotilla_update_worker_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove_all(dir_);
    mkimages::ImageSetOptions options;
    options.version = kNewVersion;
    options.amss_size = 24 * 1024;
    options.efs_size = 29 * 1024;
    EXPECT_EQ(mkimages::WriteImageSet(dir_ / "images", options).outcome,
              mkimages::ImageSetResult::Outcome::kWritten);
    config_.check_programmer = true;
    config_.programmer = ReadFile(dir_ / "images" / "armprg.bin");
    host_ = std::make_unique<RecordingHost>(dir_ / "images" / "amss.mbn");
    files_.AddDirectory("C:\\Flotilla");
  }
  ~UpdateWorkerTest() override {
    context_.reset();
    doc_.reset();
    taps_.reset();
    stick_.reset();
    fs::remove_all(dir_);
  }

  void Start(uint16_t language = 0x0409) {
    stick_ = std::make_unique<sim::InProcessStick>(clock_, config_);
    stick_->SetPortNumbers(kAtPort, kDiagPort);
    stick_->SetRegistry(&registry_);
    platform::SerialDeviceFactory* devices = stick_.get();
    if (tap_note_) devices = (taps_ = std::make_unique<taps::TapFactory>(*stick_, kDiagPort, tap_note_)).get();
    doc_ = std::make_unique<line::CFlotillaDoc>(
        line::DocEnvironment{*devices, clock_, language, "C:\\Flotilla\\flotilla.exe"});
    context_ = std::make_unique<line::LineContext>(
        line::LineContext{*doc_, stick_->HostRegistry(), display_, prompts_, 0});
    display_.doc = doc_.get();
    line::LineRecord& line = doc_->Line(0);
    line.paths.image_directory = (dir_ / "images").string();
    line.paths.flash_programmer = (dir_ / "images" / "armprg.bin").string();
    line.running = 1;
    line.data_port = kAtPort;
    line.diag_port = kDiagPort;
    ASSERT_TRUE(doc_->OpenDiagPort(0, kDiagPort, line::kLineBaud));
    ASSERT_TRUE(doc_->OpenAtPort(0, kAtPort, line::kLineBaud));
  }

  // A case of a table: a fresh stick, document, host and window, and no action log left.
  void StartAgain(uint16_t language = 0x0409) {
    context_.reset();
    doc_.reset();
    taps_.reset();
    stick_.reset();
    host_ = std::make_unique<RecordingHost>(dir_ / "images" / "amss.mbn");
    display_ = RecordingDisplay();
    for (const std::string& name : files_.FileNames())
      if (name.find("\\logs\\") != std::string::npos) files_.DeleteFile(name);
    Start(language);
  }

  UpdateEnd Run() { return UpdateThreadProc(*context_, completion_, *host_); }

  std::string LastLog() const {
    std::string last;
    for (const std::string& name : files_.FileNames())
      if (name.find("\\logs\\") != std::string::npos) last = name;
    const auto* bytes = files_.File(last);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
  }

  fs::path dir_;
  platform::VirtualClock clock_;
  sim::StickConfig config_;
  platform::MemoryRegistry registry_;
  platform::MemoryFileSystem files_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  std::unique_ptr<RecordingHost> host_;
  std::unique_ptr<sim::InProcessStick> stick_;
  // When set before Start, hears every write to the diagnostics port.
  taps::TapNote tap_note_;
  std::unique_ptr<taps::TapFactory> taps_;
  std::unique_ptr<line::CFlotillaDoc> doc_;
  std::unique_ptr<line::LineContext> context_;
  LineCompletion completion_{files_, "C:\\Flotilla", nullptr};
};

TEST_F(UpdateWorkerTest, AWholeUpdateWritesTheImagesAndEndsTheProgram) {
  Start();
  sim::NvValue before{};
  ASSERT_EQ(stick_->Model().Nv().Read(22, before), 0);
  ASSERT_EQ(Run(), UpdateEnd::Succeeded);

  // Every image is in the flash, and the stick answers with the new version.
  const sim::FlashStore& flash = stick_->Flash();
  EXPECT_EQ(flash.PartitionTable(), ReadFile(dir_ / "images" / "partition.mbn"));
  EXPECT_EQ(flash.Image(5)->body, ReadFile(dir_ / "images" / "amss.mbn"));
  EXPECT_EQ(flash.Image(9)->body, ReadFile(dir_ / "images" / "efs.mbn"));
  EXPECT_EQ(doc_->Line(0).texts.VersionText(), kNewVersion);

  // NV item 22 went back with the bytes the new firmware owns cleared.
  sim::NvValue after{};
  ASSERT_EQ(stick_->Model().Nv().Read(22, after), 0);
  for (size_t i = 0; i < after.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(after[i], i >= 22 && i <= 49 ? 0 : before[i]);
  }

  EXPECT_EQ(host_->calls, (std::vector<std::string>{"backup", "model check",
                                                    "restore " + doc_->Line(0).paths.nv_backup_file,
                                                    "delete staged", "connection manager", "end"}));
  EXPECT_EQ(host_->boxes, std::vector<std::string>{"success: The update was successful."});
  EXPECT_EQ(display_.statuses.back(), "The update was successful.");
  // The window shows the new version before the success line and its box.
  ASSERT_GE(display_.shown.size(), 2u);
  EXPECT_EQ(display_.shown[display_.shown.size() - 2], std::string("version ") + kNewVersion);
  EXPECT_EQ(doc_->Line(0).running, 0);
  // The bar runs through the phases to 100 without going back.
  EXPECT_TRUE(std::is_sorted(display_.progress.begin(), display_.progress.end()));
  for (int p : {1, 2, 3, 7, 8, 9, 20, 21, 22, 23, 24, 25, 26, 50, 51, 80, 81, 82, 95, 96, 97, 98, 99, 100})
    EXPECT_NE(std::find(display_.progress.begin(), display_.progress.end(), p), display_.progress.end()) << p;
  // The history starts with the header the action log would carry.
  EXPECT_EQ(doc_->Line(0).history.Text().rfind("Current Version : ", 0), 0u);
}

TEST_F(UpdateWorkerTest, WithoutNvHandlingNoBackupOrRestoreIsMade) {
  Start();
  doc_->nv_mode = line::NvMode::NoBackup;
  ASSERT_EQ(Run(), UpdateEnd::Succeeded);
  EXPECT_EQ(host_->calls, (std::vector<std::string>{"model check", "delete staged", "connection manager", "end"}));
}

TEST_F(UpdateWorkerTest, AModelThatDoesNotFitAndAUserWhoCarriesOnStillUpdate) {
  Start();
  host_->model_fits = false;  // the close question answered No
  ASSERT_EQ(Run(), UpdateEnd::Succeeded);
  EXPECT_EQ(stick_->Flash().Image(5)->body, ReadFile(dir_ / "images" / "amss.mbn"));
}

TEST_F(UpdateWorkerTest, EachFailureEndsWithItsOwnReport) {
  struct Case {
    const char* name;
    uint16_t language;
    std::function<void(RecordingHost&, line::LineRecord&, sim::InProcessStick&)> arrange;
    UpdateEnd end;
    const char* final_text;  // the last status line
    const char* box;         // "" for none
    bool flash_written;
  } cases[] = {
      {"no NV directory", 0x0409, [](RecordingHost& host, line::LineRecord&, sim::InProcessStick&) { host.nv_directory = false; },
       UpdateEnd::StatusOnly, "Downloading...", "error: Download failure, Please download again!", false},
      {"no NV directory, German", 0x0407, [](RecordingHost& host, line::LineRecord&, sim::InProcessStick&) { host.nv_directory = false; },
       UpdateEnd::StatusOnly, "Download fehlgeschlagen", "", false},
      {"backup failed", 0x0409, [](RecordingHost& host, line::LineRecord&, sim::InProcessStick&) { host.backup = false; },
       UpdateEnd::StatusOnly, "Downloading...", "error: Download failure, Please download again!", false},
      {"stopped before the programmer", 0x0409,
       [](RecordingHost& host, line::LineRecord& line, sim::InProcessStick&) { host.stop_on_backup = &line.running; },
       UpdateEnd::Finished, "action stop!", "", false},
      {"no flash programmer", 0x0409,
       [](RecordingHost&, line::LineRecord& line, sim::InProcessStick&) { line.paths.flash_programmer += ".missing"; },
       UpdateEnd::Finished, "Download armprg.bin fail!", "error: Download failure, Please download again!",
       false},
      {"the programmer does not start", 0x0409,
       [](RecordingHost&, line::LineRecord&, sim::InProcessStick& stick) {
         Plan(stick, R"({"mode": "stream", "code": 1, "action": "ignore"})");
       },
       UpdateEnd::Finished, "skip fail!", "", false},
      {"every pass refused, German", 0x0407,
       [](RecordingHost&, line::LineRecord&, sim::InProcessStick& stick) {
         Plan(stick, R"({"mode": "stream", "code": "0x17", "action": "stream_error", "reason": 12})");
       },
       UpdateEnd::Finished, "Download fehlgeschlagen!", "", false},
      {"every pass refused", 0x0409,
       [](RecordingHost&, line::LineRecord&, sim::InProcessStick& stick) {
         Plan(stick, R"({"mode": "stream", "code": "0x17", "action": "stream_error", "reason": 12})");
       },
       UpdateEnd::Finished, "Download fail, please check the log file to get fail information!",
       "error: Download failure, Please download again!", false},
      {"restore failed", 0x0409, [](RecordingHost& host, line::LineRecord&, sim::InProcessStick&) { host.restore = false; },
       UpdateEnd::Finished, "Restore NV fail!", "", true},
      {"restore failed, German", 0x0407, [](RecordingHost& host, line::LineRecord&, sim::InProcessStick&) { host.restore = false; },
       UpdateEnd::Finished, "Download fehlgeschlagen", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAgain(c.language);
    c.arrange(*host_, doc_->Line(0), *stick_);
    EXPECT_EQ(Run(), c.end);
    EXPECT_EQ(display_.statuses.back(), c.final_text);
    EXPECT_EQ(host_->boxes, *c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{});
    EXPECT_EQ(std::count(host_->calls.begin(), host_->calls.end(), "end"), 0);
    EXPECT_EQ(doc_->Line(0).running, 0);
    EXPECT_EQ(stick_->Flash().Image(5) != nullptr, c.flash_written);
    if (c.end == UpdateEnd::Finished) {
      const std::string log = LastLog();
      EXPECT_NE(log.find(std::string("——") + c.final_text + "\n"), std::string::npos) << log;
    }
  }
}

// Mends: the waits for the stick's ports had no end; a stick that never comes back ends the
// update within minutes, and a boot downloader that was never left is not taken for the flash
// programmer (its refusals used to pass as the programmer's answers, and twenty passes of
// time-outs followed).
constexpr char kNotBack[] =
    "The firmware and the NV items are written, but the stick did not come back afterwards. "
    "Please unplug it and plug it in again.";

TEST_F(UpdateWorkerTest, AStickThatStaysAwayEndsTheUpdateWithinMinutes) {
  const std::string reinsert = "error: " + ReinsertText(false);
  const std::string failure = "error: Download failure, Please download again!";
  struct Case {
    const char* name;
    const char* rule;  // given to the stick at the start; empty: none
    bool gone_after_restore;
    UpdateEnd end;
    const char* final_text;
    std::vector<std::string> boxes;
    uint64_t within_ms;
  } cases[] = {
      {"gone at the reset, the reinsert box answered", R"({"port": "at", "command": "AT+ZRST", "action": "gone"})",
       false, UpdateEnd::Finished, "reset modem fail!", {reinsert, failure}, 3 * 60000},
      {"gone at the switch to the boot downloader", R"({"code": "0x3A", "action": "gone"})", false,
       UpdateEnd::Finished, "switch to DownLoad mode fail!", {reinsert, failure}, 6 * 60000},
      {"the go lost, the boot downloader still answering", R"({"mode": "downloader", "code": "0x05", "action": "ignore"})",
       false, UpdateEnd::Finished, "skip fail!", {}, 3 * 60000},
      // Mend: the items are back and confirmed, but a stick that never answers again is not
      // known to start with its new firmware; that is no success, and the user is told.
      {"gone once the items are back", "", true, UpdateEnd::Finished, kNotBack, {}, 5 * 60000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAgain();
    if (*c.rule) Plan(*stick_, c.rule);
    uint64_t restored_at = 0;
    if (c.gone_after_restore) {
      host_->on_restore = [&](line::LineContext& context) {
        Plan(*stick_, R"({"action": "gone"})");
        uint32_t esn = 0;
        protocol::QueryEsn(context.Diag(), esn);
        restored_at = clock_.NowMs();
      };
    }
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(Run(), c.end);
    EXPECT_EQ(display_.statuses.back(), c.final_text);
    EXPECT_EQ(host_->boxes, c.boxes);
    EXPECT_LE(clock_.NowMs() - (c.gone_after_restore ? restored_at : start), c.within_ms);
    if (c.gone_after_restore) {
      EXPECT_NE(std::find(display_.statuses.begin(), display_.statuses.end(),
                          "Line1: the stick did not come back within 120 s"),
                display_.statuses.end());
      EXPECT_EQ(prompts_.messages, std::vector<std::string>{kNotBack});
      EXPECT_EQ(std::count(host_->calls.begin(), host_->calls.end(), "end"), 0);
      EXPECT_NE(LastLog().find(std::string("——") + kNotBack + "\n"), std::string::npos);
    }
  }
}

// Every write to the diagnostics port, by the thread that made it.
class WriteLog {
 public:
  void Note() {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
  }
  size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
  }
  // Of the writes from the `from`th up to the `to`th (the last one so far unless given), those
  // made by `thread`, and those made by any other.
  size_t By(std::thread::id thread, size_t from, size_t to = SIZE_MAX) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(Begin(from), End(to), thread));
  }
  size_t NotBy(std::thread::id thread, size_t from, size_t to = SIZE_MAX) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(Begin(from), End(to), [&](std::thread::id t) { return t != thread; }));
  }

 private:
  std::vector<std::thread::id>::const_iterator Begin(size_t from) const {
    return threads_.begin() + static_cast<std::ptrdiff_t>(std::min(from, threads_.size()));
  }
  std::vector<std::thread::id>::const_iterator End(size_t to) const {
    return threads_.begin() + static_cast<std::ptrdiff_t>(std::min(to, threads_.size()));
  }

  mutable std::mutex mutex_;
  std::vector<std::thread::id> threads_;
};

// Waits in wall time (another thread runs on the virtual clock) until `done`; false when a
// few seconds went by first.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 5000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Mends: the device watch was resumed by the first FinishLineAction of a run, so a second
// one (the German failure of the flash programmer's upload) reset the stick while the watch
// reopened its port. The watch, on its own thread over the same stick, must send nothing until
// the worker's last request, and the worker nothing once the watch has been resumed.
TEST_F(UpdateWorkerTest, TheWatchResumesOnlyAfterTheWorkersLastRequest) {
  const auto log = std::make_shared<WriteLog>();
  tap_note_ = [log](const std::vector<uint8_t>&) { log->Note(); };
  const std::thread::id worker = std::this_thread::get_id();
  struct Case {
    const char* name;
    uint16_t language;
    std::function<void(line::LineRecord&, sim::InProcessStick&)> arrange;
    const char* final_text;
  } cases[] = {
      // Two finishes, each resetting the stick.
      {"upload refused, German", 0x0407,
       [](line::LineRecord& line, sim::InProcessStick&) { line.paths.flash_programmer += ".missing"; },
       "Download fehlgeschlagen!"},
      {"upload refused", 0x0409,
       [](line::LineRecord& line, sim::InProcessStick&) { line.paths.flash_programmer += ".missing"; },
       "Download armprg.bin fail!"},
      {"the programmer does not start, German", 0x0407,
       [](line::LineRecord&, sim::InProcessStick& stick) {
         Plan(stick, R"({"mode": "stream", "code": 1, "action": "ignore"})");
       },
       "Download fehlgeschlagen!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartAgain(c.language);
    c.arrange(doc_->Line(0), *stick_);
    DeviceWatchThread watch(*context_);
    size_t resumed_at = 0;
    int resumes = 0;
    completion_.resume_watch = [&](int) {
      resumed_at = log->Size();
      ++resumes;
      watch.Resume();
    };
    // The watch finds the stick and queries it, then pauses as a start asks it to.
    const size_t before_watch = log->Size();
    watch.Start();
    EXPECT_TRUE(WaitUntil([&] { return log->NotBy(worker, before_watch) > 0; }));
    watch.Pause();
    const size_t started_at = log->Size();

    EXPECT_EQ(Run(), UpdateEnd::Finished);
    EXPECT_EQ(display_.statuses.back(), c.final_text);
    ASSERT_EQ(resumes, 1);
    // Up to the resume only the worker wrote, and after it only the watch.
    EXPECT_GT(resumed_at, started_at);
    EXPECT_EQ(log->NotBy(worker, started_at, resumed_at), 0u);
    EXPECT_EQ(log->By(worker, resumed_at), 0u);
    // The resumed watch takes the stick up again.
    EXPECT_TRUE(WaitUntil([&] { return log->NotBy(worker, resumed_at) > 0; }));
    watch.Pause();
    completion_.resume_watch = nullptr;
  }
  tap_note_ = nullptr;
}

}  // namespace
}  // namespace flotilla::update
