// The re-plug worker against a fake ResetUSB.dll on the virtual clock: its cadence, its pause,
// its load failures, and the library outliving every call.
#include "discovery/replug_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory_libraries.h"
#include "platform/virtual_clock.h"

namespace flotilla::discovery {
namespace {

const std::string kLibrary = ReplugLibraryPath("C:\\Program Files\\Windows Service\\XV418newversion");

// What the fake library's Replug sees and answers. Replug is a plain C function, so the fake
// reaches the test through this one pointer.
struct FakeReplug {
  platform::VirtualClock* clock = nullptr;
  platform::MemoryLibraries* libraries = nullptr;
  std::vector<int32_t> results;  // answered in turn, the last one for ever after
  std::vector<uint64_t> call_times;
  std::vector<std::string> devices;
  std::atomic<int> calls{0};
  std::atomic<int> calls_without_library{0};
};
FakeReplug* fake = nullptr;

int32_t Replug(const char* device) {
  const size_t n = fake->call_times.size();
  fake->call_times.push_back(fake->clock->NowMs());
  fake->devices.push_back(device);
  if (fake->libraries->LoadedCount() == 0) ++fake->calls_without_library;
  ++fake->calls;
  return fake->results.empty() ? 1 : fake->results[std::min(n, fake->results.size() - 1)];
}

// A gate that lets every call start and stops nothing, or one that is paused.
class OpenGate : public ReplugGate {
 public:
  explicit OpenGate(bool paused = false) : paused_(paused) {}
  bool Paused() override { return paused_; }

 private:
  bool paused_;
};

class ReplugWorkerTest : public ::testing::Test {
 protected:
  ReplugWorkerTest() {
    fake_.clock = &clock_;
    fake_.libraries = &libraries_;
    fake = &fake_;
  }
  ~ReplugWorkerTest() override { fake = nullptr; }

  void AddLibrary(bool with_export = true) {
    platform::MemoryLibraries::Exports exports;
    if (with_export) exports[kReplugExport] = reinterpret_cast<platform::LibraryFunction>(&Replug);
    exports["Other"] = reinterpret_cast<platform::LibraryFunction>(&Replug);
    libraries_.Add(kLibrary, exports);
  }
  ReplugServices Services() {
    return ReplugServices{libraries_, prompts_, clock_, enabled_,
                          [this](const std::string& text) { statuses_.push_back(text); }};
  }

  platform::VirtualClock clock_;
  platform::MemoryLibraries libraries_;
  platform::RecordingPrompts prompts_;
  std::atomic<int32_t> enabled_{1};
  std::vector<std::string> statuses_;
  FakeReplug fake_;
};

struct CadenceCase {
  const char* name;
  std::vector<int32_t> results;
  std::vector<uint64_t> call_times;  // of the first calls, in virtual ms from the start
};

class ReplugCadenceTest : public ReplugWorkerTest, public ::testing::WithParamInterface<CadenceCase> {};

TEST_P(ReplugCadenceTest, TheNextCallFollowsAsTheResultSays) {
  const CadenceCase& c = GetParam();
  fake_.results = c.results;
  AddLibrary();
  ReplugWorker worker(Services(), kLibrary);
  ASSERT_TRUE(worker.Load());
  OpenGate gate;
  while (fake_.call_times.size() < c.call_times.size()) worker.Round(gate);
  EXPECT_EQ(fake_.call_times, c.call_times);
  EXPECT_EQ(fake_.devices, std::vector<std::string>(c.call_times.size(), "USB\\Vid_4A6D&Pid_2000"));
  EXPECT_TRUE(prompts_.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Results, ReplugCadenceTest,
    ::testing::Values(CadenceCase{"NonZero", {1}, {0, 5000, 10000, 15000}},
                      CadenceCase{"Zero", {0}, {0, 3000, 6000, 9000}},
                      CadenceCase{"Negative", {-1}, {0, 5000, 10000}},
                      CadenceCase{"Mixed", {1, 0, 0, 7, 0}, {0, 5000, 8000, 11000, 16000, 19000}}),
    [](const ::testing::TestParamInfo<CadenceCase>& info) { return std::string(info.param.name); });

TEST_F(ReplugWorkerTest, ARoundTellsTheStatusHookWhatItDoes) {
  AddLibrary();
  ReplugWorker worker(Services(), kLibrary);
  ASSERT_TRUE(worker.Load());
  OpenGate gate;
  worker.Round(gate);
  EXPECT_EQ(statuses_, (std::vector<std::string>{"Current is not reset", "Reseting..."}));
}

TEST_F(ReplugWorkerTest, AClearedEnableFlagIdlesWithoutCalling) {
  AddLibrary();
  enabled_ = 0;
  ReplugWorker worker(Services(), kLibrary);
  ASSERT_TRUE(worker.Load());
  OpenGate gate;
  worker.Round(gate);
  worker.Round(gate);
  EXPECT_EQ(fake_.calls, 0);
  EXPECT_EQ(clock_.NowMs(), 2 * kReplugDisabledMs);
  EXPECT_EQ(statuses_, (std::vector<std::string>{"Current is not reset", "Current is not reset"}));
}

TEST_F(ReplugWorkerTest, APausedRoundNeitherCallsNorWaits) {
  AddLibrary();
  ReplugWorker worker(Services(), kLibrary);
  ASSERT_TRUE(worker.Load());
  OpenGate paused(true);
  worker.Round(paused);
  EXPECT_EQ(fake_.calls, 0);
  EXPECT_EQ(clock_.NowMs(), 0u);
}

struct LoadFailureCase {
  const char* name;
  bool library_there;
  bool export_there;
  const char* message;
};

class ReplugLoadTest : public ReplugWorkerTest, public ::testing::WithParamInterface<LoadFailureCase> {};

TEST_P(ReplugLoadTest, AFailedLoadSaysSoOnceAndEndsTheWorker) {
  const LoadFailureCase& c = GetParam();
  if (c.library_there) AddLibrary(c.export_there);
  {
    ReplugThread thread(Services(), kLibrary);
    thread.Start();
    thread.Pause();  // returns at once: nothing was loaded that could be called
    thread.End();
    EXPECT_EQ(prompts_.messages, std::vector<std::string>{c.message});
  }
  EXPECT_EQ(fake_.calls, 0);
  EXPECT_TRUE(statuses_.empty());
  EXPECT_EQ(libraries_.LoadedCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReplugLoadTest,
    ::testing::Values(LoadFailureCase{"NoLibrary", false, false, kLoadLibraryFailText},
                      LoadFailureCase{"NoReplug", true, false, kFindReplugFailText}),
    [](const ::testing::TestParamInfo<LoadFailureCase>& info) { return std::string(info.param.name); });

TEST_F(ReplugWorkerTest, ALibraryWithoutReplugStaysLoadedUntilReleased) {
  AddLibrary(false);
  ReplugWorker worker(Services(), kLibrary);
  EXPECT_FALSE(worker.Load());
  EXPECT_EQ(libraries_.LoadedCount(), 1);
  OpenGate gate;
  worker.Round(gate);  // harmless: there is nothing to call
  EXPECT_EQ(fake_.calls, 0);
  worker.Release();
  EXPECT_EQ(libraries_.LoadedCount(), 0);
}

// Waits, in real time, until the worker on the virtual clock has called `calls` times.
bool AwaitCalls(const FakeReplug& replug, int calls) {
  for (int i = 0; i < 5000 && replug.calls < calls; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return replug.calls >= calls;
}

TEST_F(ReplugWorkerTest, AfterThePauseNoCallStartsAndTheLibraryGoesLast) {
  AddLibrary();
  ReplugThread thread(Services(), kLibrary);
  thread.Start();
  ASSERT_TRUE(AwaitCalls(fake_, 3));
  thread.Pause();
  const int calls = fake_.calls;
  thread.End();  // joins the thread: a call after the pause would have happened by now
  EXPECT_EQ(fake_.calls, calls);
  EXPECT_EQ(libraries_.LoadedCount(), 0);
  EXPECT_EQ(fake_.calls_without_library, 0);
}

TEST_F(ReplugWorkerTest, APauseRightBeforeACallStopsThatCall) {
  AddLibrary();
  ReplugThread* running = nullptr;
  std::atomic<int> announced{0};
  ReplugServices services = Services();
  // The pause falls between the third "Reseting..." and its call, on the worker's own thread.
  services.status = [&](const std::string& text) {
    if (text == "Reseting..." && ++announced == 3) running->AskPause();
  };
  ReplugThread thread(services, kLibrary);
  running = &thread;
  thread.Start();
  for (int i = 0; i < 5000 && announced < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread.Pause();  // returns once the worker has stopped
  EXPECT_EQ(announced, 3);
  EXPECT_EQ(fake_.calls, 2);
}

TEST_F(ReplugWorkerTest, DestroyingARunningWorkerReleasesTheLibraryAfterTheLastCall) {
  AddLibrary();
  {
    ReplugThread thread(Services(), kLibrary);
    thread.Start();
    ASSERT_TRUE(AwaitCalls(fake_, 2));
    EXPECT_EQ(libraries_.LoadedCount(), 1);
  }
  EXPECT_EQ(libraries_.LoadedCount(), 0);
  EXPECT_EQ(fake_.calls_without_library, 0);
}

}  // namespace
}  // namespace flotilla::discovery
