// StartLineOperation: the compatibility check, each operation's own checks, and the hand-over
// to the worker with the line marked running and its watchers paused.
#include "update/line_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "images/image_set.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::update {
namespace {

class RecordingStartHost : public LineStartHost {
 public:
  void ShowModelMismatch(const std::string& text) override { events.push_back("mismatch: " + text); }
  void RequestClose() override { events.push_back("close request"); }
  void ShowStartBox(const std::string& text) override { events.push_back("box: " + text); }
  void PauseWatchers(int line) override { events.push_back("pause " + std::to_string(line)); }
  bool StartWorker(int line, line::LineOperation operation) override {
    events.push_back("worker " + std::to_string(line) + " " + std::to_string(static_cast<int>(operation)));
    return true;
  }
  std::vector<std::string> events;
};

class QuietDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string&) override {}
  void SetLineProgress(int, int) override {}
  // Each change of the line's controls, with the running flag the window reads meanwhile.
  void EnableLineControls(int, bool enable) override {
    controls.push_back(std::string(enable ? "on" : "off") + ", running " +
                       (running ? std::to_string(running->load()) : "?"));
  }
  const std::atomic<int32_t>* running = nullptr;
  std::vector<std::string> controls;
};

const char* const kImageFiles[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",
                                   "oemsbl.mbn",    "amsshd.mbn",          "amss.mbn",  "efs.mbn",
                                   "nandprghd.mbn", "nandprgcombined.mbn", "armprg.bin"};

// A line with an image set whose stick answered, its model fitting.
struct LineStartBench {
  LineStartBench()
      : stick_(clock_, sim::StickConfig{}),
        doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}),
        context_{doc_, registry_, display_, prompts_, 0} {
    display_.running = &doc_.Line(0).running;
    files_.AddDirectory("C:\\Images");
    files_.AddDirectory("C:\\Flotilla");
    for (const char* name : kImageFiles) files_.SetFile(std::string("C:\\Images\\") + name, {1, 2, 3, 4});
    EXPECT_TRUE(images::FillImageSetPaths(doc_, 0, "C:\\Images"));
    protocol::VersionSet strings;
    strings[8] = "XV300 VELQ482B3 R1";
    doc_.Line(0).texts.SetVersions("FW_1", strings);
    doc_.Line(0).device_state = line::DeviceState::Answered;
  }


  platform::VirtualClock clock_;
  sim::InProcessStick stick_;
  platform::MemoryRegistry registry_;
  platform::MemoryFileSystem files_;
  QuietDisplay display_;
  platform::RecordingPrompts prompts_;
  line::CFlotillaDoc doc_;
  line::LineContext context_;
  RecordingStartHost host_;
};

TEST(LineStart, EachOperationStartsOnlyWhenItsChecksPass) {
  struct Case {
    const char* name;
    line::LineOperation operation;
    std::function<void(line::LineRecord&, platform::MemoryFileSystem&)> arrange;
    std::vector<std::string> events;
  } cases[] = {
      {"update", line::LineOperation::Update, [](line::LineRecord&, platform::MemoryFileSystem&) {},
       {"pause 0", "worker 0 1"}},
      {"update, model tag missing", line::LineOperation::Update,
       [](line::LineRecord& line, platform::MemoryFileSystem&) {
         protocol::VersionSet strings;
         strings[8] = "XV300 velq482b3";  // only in lower case
         line.texts.SetVersionStrings(strings);
       },
       {"mismatch: Selected Update Version does not apply to your device!", "close request"}},
      {"update, stick not answered", line::LineOperation::Update,
       [](line::LineRecord& line, platform::MemoryFileSystem&) { line.device_state = line::DeviceState::NoDevice; },
       {}},
      {"nv backup", line::LineOperation::NvBackup, [](line::LineRecord&, platform::MemoryFileSystem&) {},
       {"pause 0", "worker 0 3"}},
      {"nv backup, no NV directory", line::LineOperation::NvBackup,
       [](line::LineRecord& line, platform::MemoryFileSystem&) { line.paths.nv_directory.clear(); },
       {"box: Line1 No NV directory!"}},
      {"nv backup, NV file cannot be written", line::LineOperation::NvBackup,
       [](line::LineRecord&, platform::MemoryFileSystem& files) { files.read_only_directories.insert("c:\\flotilla"); },
       {"box: Line1 can't create or open NV file!"}},
      {"nv restore, stick not answered", line::LineOperation::NvRestore,
       [](line::LineRecord& line, platform::MemoryFileSystem&) { line.device_state = line::DeviceState::NoDevice; },
       {}},
      {"nv restore", line::LineOperation::NvRestore, [](line::LineRecord&, platform::MemoryFileSystem&) {},
       {"pause 0", "worker 0 4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineStartBench fresh;
    fresh.doc_.Line(0).operation = c.operation;
    c.arrange(fresh.doc_.Line(0), fresh.files_);
    const bool started = StartLineOperation(fresh.context_, fresh.files_, fresh.host_);
    EXPECT_EQ(fresh.host_.events, c.events);
    EXPECT_EQ(started, !c.events.empty() && c.events.back().rfind("worker", 0) == 0);
    EXPECT_EQ(fresh.doc_.Line(0).running, started ? 1 : 0);
  }
}

// Mends: the controls went off one step before the flag was set, and the window, reading the
// flag, turned UPDATE on; a second click then started a second worker on the same stick.
TEST(LineStart, TheFlagIsSetBeforeTheControlsGoOffAndARunningLineIsNotStartedAgain) {
  LineStartBench b;
  ASSERT_TRUE(StartLineOperation(b.context_, b.files_, b.host_));
  EXPECT_EQ(b.display_.controls, std::vector<std::string>{"off, running 1"});
  b.host_.events.clear();
  // A second click while the worker runs: nothing is checked, paused or started.
  EXPECT_FALSE(StartLineOperation(b.context_, b.files_, b.host_));
  EXPECT_TRUE(b.host_.events.empty());
  EXPECT_EQ(b.display_.controls.size(), 1u);
  EXPECT_EQ(b.doc_.Line(0).running, 1);
}

TEST(LineStart, ProvingTheNvFileWritableLeavesTheLastBackupAsItWas) {
  LineStartBench b;
  const std::string backup = b.doc_.Line(0).paths.nv_backup_file;
  b.files_.SetFile(backup, std::vector<uint8_t>(153000, 0x5A));
  b.doc_.Line(0).operation = line::LineOperation::NvBackup;
  ASSERT_TRUE(StartLineOperation(b.context_, b.files_, b.host_));
  ASSERT_NE(b.files_.File(backup), nullptr);
  EXPECT_EQ(*b.files_.File(backup), std::vector<uint8_t>(153000, 0x5A));
  EXPECT_EQ(b.files_.FileNames().size(), std::size(kImageFiles) + 1);  // no scratch file left behind
}

}  // namespace
}  // namespace flotilla::update
