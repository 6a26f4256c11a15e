// FinishLineAction: the action log, the outcome's icon and reset; HandBackLine: the line handed
// back at the worker's way out.
#include "update/line_completion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_programmer.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"
#include "test_bytes.h"

namespace flotilla::update {
namespace {

using test::Packet;

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int percent) override { progress.push_back(percent); }
  void SetLineIcon(int, line::LineIcon icon) override { icons.push_back(icon); }
  void EnableLineControls(int, bool enable) override { enabled.push_back(enable); }
  std::vector<std::string> statuses;
  std::vector<int> progress;
  std::vector<line::LineIcon> icons;
  std::vector<bool> enabled;
};

class LineCompletionTest : public ::testing::Test {
 protected:
  LineCompletionTest()
      : stick_(clock_),
        doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}),
        context_{doc_, registry_, display_, prompts_, 1},
        completion_{files_, "C:\\Flotilla", [this](int line) { resumed_.push_back(line); }} {
    files_.AddDirectory("C:\\Flotilla");
    clock_.SetLocalTime({2009, 7, 28, 13, 5, 9});
    doc_.Line(1).diag_port = 4;
    doc_.OpenDiagPort(1, 4, 115200);
    doc_.Line(1).running = 1;
  }

  std::string Log(const std::string& name) const {
    const auto* bytes = files_.File("C:\\Flotilla\\Logs\\" + name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
  }

  platform::VirtualClock clock_;
  test::FakeProgrammer stick_;
  platform::MemoryRegistry registry_;
  platform::MemoryFileSystem files_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  line::CFlotillaDoc doc_;
  line::LineContext context_;
  std::vector<int> resumed_;
  LineCompletion completion_;
};

TEST_F(LineCompletionTest, EachOutcomeShowsItsIconAndResetsTheStickOrNot) {
  constexpr auto kDiag = protocol::PacketMode::Diag;
  constexpr auto kBoot = protocol::PacketMode::BootDownload;
  constexpr auto kStream = protocol::PacketMode::Streaming;
  struct Case {
    ActionOutcome outcome;
    protocol::PacketMode mode;
    line::LineIcon icon;
    const char* reset;  // the request that resets the stick, hex; "" for none
    bool box;
  } cases[] = {
      {ActionOutcome::PassAndReset, kDiag, line::LineIcon::Pass, "29 02 00", false},
      {ActionOutcome::PassAndReset, kBoot, line::LineIcon::Pass, "0a", false},
      {ActionOutcome::Pass, kDiag, line::LineIcon::Pass, "", false},
      {ActionOutcome::FailAndReset, kDiag, line::LineIcon::Fail, "29 02 00", false},
      {ActionOutcome::Fail, kBoot, line::LineIcon::Fail, "", false},
      {ActionOutcome::DownloadFailedAndReset, kBoot, line::LineIcon::Fail, "0a", false},
      // A stick left running the flash programmer is reset with the programmer's own reset.
      {ActionOutcome::DownloadFailedAndReset, kStream, line::LineIcon::Fail, "0b", false},
      {ActionOutcome::FailMaybeInDownloader, kDiag, line::LineIcon::Fail, "", false},
      {ActionOutcome::FailMaybeInDownloader, kBoot, line::LineIcon::Fail, "", true},
      // A stop while the images are written leaves the stick in its flash programmer.
      {ActionOutcome::FailMaybeInDownloader, kStream, line::LineIcon::Fail, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.outcome)) + " mode " + std::to_string(static_cast<int>(c.mode)));
    stick_.requests.clear();
    prompts_.messages.clear();
    display_ = RecordingDisplay();
    resumed_.clear();
    doc_.Line(1).running = 1;
    doc_.Line(1).device_state = line::DeviceState::Answered;
    doc_.Line(1).diag_channel.SetMode(c.mode);
    FinishLineAction(context_, completion_, "skip fail!", c.outcome);

    EXPECT_EQ(display_.icons, std::vector<line::LineIcon>{c.icon});
    std::string sent;
    for (const Packet& r : stick_.requests) sent += (sent.empty() ? "" : " | ") + test::Hex(r);
    EXPECT_EQ(sent, c.reset);
    EXPECT_EQ(doc_.Line(1).device_state, *c.reset ? line::DeviceState::NoDevice : line::DeviceState::Answered);
    EXPECT_EQ(prompts_.messages,
              c.box ? std::vector<std::string>{"线路2任务失败，请手动重启相应手机"} : std::vector<std::string>{});
    // Progress back to 0, but the line stays the worker's until it hands it back: it may
    // still send (a second finish) after this.
    EXPECT_EQ(display_.progress, std::vector<int>{0});
    EXPECT_EQ(doc_.Line(1).running, 1);
    EXPECT_TRUE(display_.enabled.empty());
    EXPECT_TRUE(resumed_.empty());
  }
}

TEST_F(LineCompletionTest, TheHandBackResumesTheWatchWhileTheLineIsStillBusy) {
  struct Case {
    const char* name;
    LineExit exit;
    std::vector<int32_t> running_at_resume;  // the flag as the watch is resumed; one per resume
    std::vector<bool> enabled;
  } cases[] = {
      // A start the user makes once the flag is clear finds the watch resumed already, so it
      // is the start that pauses it, never a late resume that wakes it under a new worker.
      {"finished", LineExit::ToUserAndWatch, {1}, {true}},
      {"status line only", LineExit::FlagOnly, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    display_ = RecordingDisplay();
    doc_.Line(1).running = 1;
    std::vector<int32_t> running_at_resume;
    LineCompletion completion{files_, "C:\\Flotilla",
                              [&](int line) { running_at_resume.push_back(doc_.Line(line).running); }};
    HandBackLine(context_, completion, c.exit);
    EXPECT_EQ(running_at_resume, c.running_at_resume);
    EXPECT_EQ(doc_.Line(1).running, 0);
    EXPECT_EQ(display_.enabled, c.enabled);
  }
}

TEST_F(LineCompletionTest, TheLogHoldsTheHistoryEndingWithTheFinalTextOnce) {
  context_.Note("Current Version : OLD_FW");
  context_.Status("Downloading...");
  clock_.Sleep(2000);
  FinishLineAction(context_, completion_, "skip fail!", ActionOutcome::Fail);

  EXPECT_EQ(Log("ActionLog2_200972813511.txt"),  // 28 July 2009, 13:05:11, no leading zeros
            "Current Version : OLD_FW\n"
            "2009.7.28 13:5:9——Downloading...\n"
            "2009.7.28 13:5:11——skip fail!\n");
  // The window shows the final text twice; the history keeps both.
  EXPECT_EQ(display_.statuses, (std::vector<std::string>{"Downloading...", "skip fail!", "skip fail!"}));
  const std::string history = doc_.Line(1).history.Text();
  EXPECT_EQ(history.substr(history.size() - 2 * std::string("2009.7.28 13:5:11——skip fail!\n").size()),
            "2009.7.28 13:5:11——skip fail!\n2009.7.28 13:5:11——skip fail!\n");
}

TEST_F(LineCompletionTest, ALaterLogWithTheSameStampKeepsTheEarlierOne) {
  // 1 November and 11 January at 1:02:03 give the same digits.
  clock_.SetLocalTime({2009, 11, 1, 1, 2, 3});
  FinishLineAction(context_, completion_, "first", ActionOutcome::Fail);
  clock_.SetLocalTime({2009, 1, 11, 1, 2, 3});
  FinishLineAction(context_, completion_, "second", ActionOutcome::Fail);
  FinishLineAction(context_, completion_, "third", ActionOutcome::Fail);
  EXPECT_NE(Log("ActionLog2_2009111123.txt").find("first"), std::string::npos);
  EXPECT_NE(Log("ActionLog2_2009111123_2.txt").find("second"), std::string::npos);
  EXPECT_NE(Log("ActionLog2_2009111123_3.txt").find("third"), std::string::npos);
}

TEST_F(LineCompletionTest, ALogThatCannotBeWrittenStillCompletesTheLine) {
  files_.read_only_directories.insert("c:\\flotilla");
  FinishLineAction(context_, completion_, "skip fail!", ActionOutcome::Fail);
  EXPECT_FALSE(files_.Exists("C:\\Flotilla\\Logs"));
  EXPECT_EQ(display_.icons, std::vector<line::LineIcon>{line::LineIcon::Fail});
  EXPECT_EQ(display_.progress, std::vector<int>{0});
}

}  // namespace
}  // namespace flotilla::update
