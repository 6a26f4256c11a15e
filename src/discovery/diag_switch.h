// The diagnostics port switch of a line: turns the stick's diagnostics interface on through
// its AT port (reading the firmware version on the way), or off again.
#pragma once

#include <cstdint>
#include <string>

#include "line/line_context.h"

namespace flotilla::discovery {

// The pause between opening the AT port and its first command.
constexpr uint32_t kDiagSwitchSettleMs = 4500;
// The version text while none could be read.
constexpr char kNoVersionText[] = "NULL";
constexpr char kNoDataPortText[] = "Data端口不能为 0 !";

// What the window keeps per line about the switch.
struct DiagSwitchState {
  // Set once this program has switched the line's diagnostics interface on.
  bool switched_on = false;
  // The firmware version read when switching on; "NULL" when it could not be read, empty
  // after switching off.
  std::string version = kNoVersionText;
};

// Switches the line's diagnostics interface on when `state` says this program has not done
// so yet, otherwise off, over the line's AT port (opened for this run only and closed again).
// The line's start controls are disabled meanwhile. Ends with one stamped status line, empty
// unless the line has no data port. True when the interface changed as asked. The caller
// makes sure nothing else uses the line's AT port meanwhile (no running operation, the
// device watch paused).
bool SwitchDiagnosticsPort(line::LineContext& context, DiagSwitchState& state);

}  // namespace flotilla::discovery
