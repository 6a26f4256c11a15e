// The re-plug worker: from start-up until the first update it has the staged ResetUSB.dll
// re-plug the stick again and again, so a stick that came up without its ports shows them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/prompts.h"

namespace flotilla::discovery {

constexpr char kReplugLibraryName[] = "ResetUSB.dll";
constexpr char kReplugExport[] = "Replug";
// The hardware id the library looks for: the stick's vendor and product.
constexpr char kReplugDeviceText[] = "USB\\Vid_4A6D&Pid_2000";
constexpr char kLoadLibraryFailText[] = "Load ResetUSB.dll fail";
constexpr char kFindReplugFailText[] = "Load ResetUSB.dll -> Replug() fail!";
constexpr uint32_t kAfterReplugMs = 5000;        // after a re-plug that worked
constexpr uint32_t kAfterFailedReplugMs = 3000;  // after one that found or restarted nothing
constexpr uint32_t kReplugDisabledMs = 1000;     // between looks at a cleared enable flag
// The waits are slept in pieces this long, so that a pause or the end is noticed quickly.
constexpr uint32_t kReplugWaitSliceMs = 100;

// The library in a directory of Windows paths ("C:\...\ResetUSB.dll").
std::string ReplugLibraryPath(const std::string& directory);

// What the worker uses.
struct ReplugServices {
  platform::DynamicLibraries& libraries;
  platform::Prompts& prompts;
  platform::Clock& clock;
  // The document's re-plug enable flag; 0 lets the worker idle.
  const std::atomic<int32_t>& enabled;
  // Hears "Current is not reset" and "Reseting..."; the window shows nothing of them.
  std::function<void(const std::string&)> status;
};

// How a round learns that it must stop; ReplugThread is one.
class ReplugGate {
 public:
  virtual ~ReplugGate() = default;
  // Asked right before each call of Replug (true: no call) and between the pieces of a wait
  // (true: the wait ends early).
  virtual bool Paused() = 0;
};

// The worker's steps; ReplugThread runs them.
class ReplugWorker {
 public:
  ReplugWorker(ReplugServices services, std::string library_path)
      : s_(std::move(services)), library_path_(std::move(library_path)) {}

  // Loads the library and finds its Replug; on failure shows why and returns false. A
  // library without Replug stays loaded until Release.
  bool Load();
  // One round: the enable flag, then one call of Replug (unless the gate is paused) and the
  // wait its result asks for.
  void Round(ReplugGate& gate);
  // Releases the library; no round may run any more.
  void Release();

 private:
  // Replug as ResetUSB.dll exports it: C calling convention, the device text in, a 32-bit
  // result out (non-zero: restarted).
  using ReplugFunction = int32_t (*)(const char*);

  void Status(const char* text) {
    if (s_.status) s_.status(text);
  }
  void Wait(uint32_t ms, ReplugGate& gate);

  ReplugServices s_;
  std::string library_path_;
  std::unique_ptr<platform::DynamicLibrary> library_;
  ReplugFunction replug_ = nullptr;
};

// Runs a ReplugWorker on a thread of its own. Pausing is cooperative and for good: the
// worker stops before its next call of Replug or within a piece of its wait, and stays
// stopped. End (or destruction) stops the thread before it releases the library, so the
// library is never released under a call.
class ReplugThread : private ReplugGate {
 public:
  ReplugThread(ReplugServices services, std::string library_path);
  ~ReplugThread() override;
  ReplugThread(const ReplugThread&) = delete;
  ReplugThread& operator=(const ReplugThread&) = delete;

  void Start();
  // Asks for the pause without waiting for it: a call of Replug that the worker is about to
  // make may still start; Pause waits for that one to return.
  void AskPause();
  // Asks for the pause and blocks until the worker has stopped: a call that was running has
  // returned. A worker that is still loading the library is not waited for; it stops as soon
  // as it has loaded it.
  void Pause();
  // Ends the thread, then releases the library, so its file can be deleted. Waits for a
  // running call and for a load failure's message box to be closed.
  void End();

 private:
  void Run();
  bool Paused() override;
  // Parks the worker once paused; false when the thread is to end.
  bool WaitWhilePaused();
  void SetState(bool loaded, bool parked);

  ReplugWorker worker_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pause_asked_ = false;
  bool loaded_ = false;  // until then there is nothing to wait for
  bool parked_ = false;  // stopped for good, or ended
  bool ending_ = false;
};

}  // namespace flotilla::discovery
