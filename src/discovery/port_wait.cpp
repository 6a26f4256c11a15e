// The wait for a re-enumerating stick: port lookups with pauses, up to a limit.
#include "discovery/port_wait.h"

#include "discovery/port_lookup.h"
#include "protocol/operation_text.h"

namespace flotilla::discovery {

bool WaitForPorts(line::LineContext& context, const std::function<bool(const line::LineRecord&)>& found) {
  platform::Clock& clock = context.doc.Clock();
  const uint32_t start = clock.TickCount();
  for (;;) {
    if (LocateDevicePorts(context.doc, context.line, context.registry) &&
        found(context.Record()))
      return true;
    if (platform::Elapsed(start, clock.TickCount()) >= kReenumerationLimitMs) break;
    clock.Sleep(kPortSearchPauseMs);
  }
  context.Diag().SetErrorText(protocol::FormatText(
      "the stick did not come back within %u s", unsigned{kReenumerationLimitMs / 1000}));
  return false;
}

}  // namespace flotilla::discovery
