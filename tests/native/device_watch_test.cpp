// The device watch: a pass with the stick there, away, or silent, and the thread's pause.
#include "update/device_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#include <memory>
#include <string>

#include "line/line_version.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::update {
namespace {

constexpr int kAtPort = 3;
constexpr int kDiagPort = 4;

class CountingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { last_status = text; }
  void SetLineProgress(int, int) override {}
  void ShowLineVersions(int) override { ++versions_shown; }
  void ShowLinePorts(int) override { ++ports_shown; }
  std::string last_status;
  std::atomic<int> versions_shown{0};
  std::atomic<int> ports_shown{0};
};

class DeviceWatchTest : public ::testing::Test {
 protected:
  DeviceWatchTest()
      : stick_(clock_, sim::StickConfig{}),
        doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}),
        context_{doc_, stick_.HostRegistry(), display_, prompts_, 0} {
    stick_.SetPortNumbers(kAtPort, kDiagPort);
    stick_.SetRegistry(&registry_);
  }

  platform::VirtualClock clock_;
  platform::MemoryRegistry registry_;
  sim::InProcessStick stick_;
  CountingDisplay display_;
  platform::RecordingPrompts prompts_;
  line::CFlotillaDoc doc_;
  line::LineContext context_;
};

TEST_F(DeviceWatchTest, APassFindsTheStickAndShowsItsVersions) {
  DeviceWatch watch(context_);
  watch.Begin();
  EXPECT_EQ(display_.last_status, "Searching communication ports...");
  watch.Pass([] { return false; });
  const line::LineRecord& line = doc_.Line(0);
  EXPECT_EQ(line.diag_port, kDiagPort);
  EXPECT_EQ(line.data_port, kAtPort);
  EXPECT_EQ(line.device_state, line::DeviceState::Answered);
  EXPECT_EQ(line.texts.VersionString(3), sim::StickConfig().version_texts[2]);
  EXPECT_EQ(display_.versions_shown, 1);
  EXPECT_EQ(display_.ports_shown, 1);
}

TEST_F(DeviceWatchTest, AStickThatLeavesIsForgottenAfterFiveLookups) {
  DeviceWatch watch(context_);
  watch.Begin();
  watch.Pass([] { return false; });
  ASSERT_FALSE(doc_.Line(0).texts.VersionString(3).empty());
  registry_.Clear();  // pulled out
  clock_.ClearSleeps();
  const uint64_t start = clock_.NowMs();
  // The owner pauses the watch after five lookups.
  watch.Pass([&] { return clock_.NowMs() - start >= 5 * 200; });
  // 200 ms of idling between lookups, slept in pieces a pause can end.
  EXPECT_EQ(clock_.Sleeps(), std::vector<uint32_t>(10, 100));
  EXPECT_TRUE(doc_.Line(0).texts.VersionString(3).empty());
  EXPECT_TRUE(doc_.Line(0).texts.VersionString(5).empty());
  EXPECT_EQ(display_.versions_shown, 2);
}

TEST_F(DeviceWatchTest, AStickThatDoesNotAnswerIsMarkedWithoutDevice) {
  std::string error;
  ASSERT_TRUE(stick_.SetFaultPlan(R"({"rules": [{"action": "ignore"}]})", error)) << error;
  DeviceWatch watch(context_);
  watch.Begin();
  const uint64_t start = clock_.NowMs();
  watch.Pass([] { return false; });
  EXPECT_EQ(doc_.Line(0).device_state, line::DeviceState::NoDevice);
  EXPECT_GE(clock_.NowMs() - start, 1050u);  // the pass's own sleeps
  EXPECT_EQ(display_.versions_shown, 1);
}

// Mends: a pause waited for the pass's one-second sleeps, and the window that asked for it
// froze meanwhile.
TEST_F(DeviceWatchTest, APauseEndsThePassWithinAPieceOfItsSleep) {
  struct Case {
    const char* name;
    bool stick_there;
    uint64_t pause_after_ms;  // into the pass; inside one of its sleeps
  } cases[] = {
      {"after the version query", true, 0},  // set from the pass's length below
      {"between two lookups", false, 550},
  };
  DeviceWatch watch(context_);
  watch.Begin();
  watch.Pass([] { return false; });
  const uint64_t pass_start = clock_.NowMs();
  watch.Pass([] { return false; });
  // A pass with the stick there ends with two seconds of sleep.
  const uint64_t pass_ms = clock_.NowMs() - pass_start;
  ASSERT_GT(pass_ms, 2000u);
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stick_there) {
      c.pause_after_ms = pass_ms - 1500;
    } else {
      registry_.Clear();
    }
    const int shown = display_.versions_shown;
    const uint64_t pause_at = clock_.NowMs() + c.pause_after_ms;
    watch.Pass([&] { return clock_.NowMs() >= pause_at; });
    EXPECT_LE(clock_.NowMs() - pause_at, 100u);
    EXPECT_EQ(display_.versions_shown, shown);  // ended before its refresh
  }
}

TEST_F(DeviceWatchTest, ThePausedThreadLeavesThePortsAlone) {
  DeviceWatchThread thread(context_);
  thread.Start();
  // Let it run until the window has been refreshed once (the clock is virtual: a pass is quick).
  for (int i = 0; i < 5000 && display_.versions_shown == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread.Pause();
  // Parked: this thread owns the line now.
  const int shown = display_.versions_shown;
  EXPECT_GT(shown, 0);
  EXPECT_TRUE(line::QueryDeviceVersion(doc_, 0));
  EXPECT_EQ(display_.versions_shown, shown);
  thread.Resume();
}

}  // namespace
}  // namespace flotilla::update
