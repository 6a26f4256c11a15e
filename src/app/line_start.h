// The start of a line's operation from the window: what UPDATE does.
#pragma once

#include "app/main_window.h"
#include "line/flotilla_doc.h"
#include "platform/prompts.h"
#include "platform/registry.h"
#include "discovery/replug_worker.h"
#include "update/device_watch.h"
#include "update/program_host.h"

#include <string>

namespace flotilla::app {

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
  // What the workers use besides the line, and the directory the action logs go below.
  update::ProgramParts parts;
  std::string start_directory;
};

// Runs the checks of the line's chosen operation and starts its worker thread; returns at
// once, on the window thread. Refused starts are told in the window.
void StartLineOperationFromWindow(WindowLineServices& services, int line);

}  // namespace flotilla::app
