// The start of a line's operation from the window: what UPDATE does.
#pragma once

#include "app/main_window.h"
#include "line/flotilla_doc.h"
#include "platform/prompts.h"
#include "platform/registry.h"
#include "discovery/replug_worker.h"
#include "update/device_watch.h"
#include "update/program_host.h"

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace flotilla::app {

// The lines' worker threads, kept so that each is joined before anything it uses goes away.
// Used from the window thread.
class LineWorkers {
 public:
  LineWorkers();
  ~LineWorkers() { JoinAll(); }
  LineWorkers(const LineWorkers&) = delete;
  LineWorkers& operator=(const LineWorkers&) = delete;

  // Runs `work` on a new thread as the line's worker. False when the line's previous worker
  // has not ended yet (it was asked to stop and is still on its way out) or no thread could
  // be made.
  bool Start(int line, std::function<void()> work);
  // Waits for every worker to end.
  void JoinAll();

 private:
  std::array<std::thread, line::kLineCount> threads_;
  // Set by a worker as it leaves its thread.
  std::array<std::atomic<bool>, line::kLineCount> ended_;
};

// What the window hands to an operation it starts.
struct WindowLineServices {
  line::CFlotillaDoc& doc;
  platform::Registry& registry;
  MainWindow& window;
  platform::Prompts& prompts;
  // Line 0's device watch, paused while the line runs.
  update::DeviceWatchThread& watch;
  // The re-plug worker, paused for good when the first operation starts; null when none runs.
  discovery::ReplugThread* replug;
  LineWorkers& workers;
  // What the workers use besides the line, and the directory the action logs go below.
  update::ProgramParts parts;
  std::string start_directory;
};

// Runs the checks of the line's chosen operation and starts its worker thread; returns at
// once, on the window thread. Refused starts are told in the window.
void StartLineOperationFromWindow(WindowLineServices& services, int line);

}  // namespace flotilla::app
