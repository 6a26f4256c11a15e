// The device watch of a line: finds the stick by itself, opens its ports, reads its versions
// and refreshes the window, pass after pass, pausing while the line runs an operation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "line/line_context.h"

namespace flotilla::update {

// One line's watch, step by step; the thread below runs it.
class DeviceWatch {
 public:
  explicit DeviceWatch(line::LineContext context) : c_(std::move(context)) {}

  // The first steps: the searching status and the first open of the diagnostics port.
  void Begin();
  // One pass: the port search, the ports opened, the unlock and the version query, the window
  // refreshed. `paused` is asked between two steps; when it holds the pass ends early, with
  // the ports left as they are, and the next pass starts from its beginning.
  void Pass(const std::function<bool()>& paused);

 private:
  // Sleeps `ms` in short pieces; true, with the rest left unslept, once `paused` holds.
  bool Rest(uint32_t ms, const std::function<bool()>& paused);

  line::LineContext c_;
};

// Runs a DeviceWatch on a thread of its own. Pausing is cooperative: the watch stops at its
// next step boundary, and Pause returns only then, so the caller may use the line's ports.
class DeviceWatchThread {
 public:
  explicit DeviceWatchThread(line::LineContext context);
  ~DeviceWatchThread();
  DeviceWatchThread(const DeviceWatchThread&) = delete;
  DeviceWatchThread& operator=(const DeviceWatchThread&) = delete;

  void Start();
  // Asks the watch to stop at its next step boundary and returns at once.
  void AskPause();
  // Asks, and blocks until the watch has stopped between two steps (at once when it was never
  // started). Its sleeps are cut short for it; an exchange on the port is not.
  void Pause();
  void Resume();

 private:
  void Run();
  // Called by the watch between steps: true when it must stop there.
  bool PauseAsked();
  // Parks the watch while paused; false when the thread is to end.
  bool WaitWhilePaused();

  DeviceWatch watch_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pause_asked_ = false;
  bool parked_ = false;
  bool ending_ = false;
  bool started_ = false;
};

}  // namespace flotilla::update
