// Retries with recoveries, and the bounded wait for a re-enumerating stick.
#include "update/line_context.h"

#include "discovery/port_lookup.h"
#include "protocol/operation_text.h"

namespace flotilla::update {

bool RetryWith(LineContext& context, const std::function<bool()>& attempt,
               const std::vector<Recovery>& recoveries) {
  if (attempt()) return true;
  for (const Recovery& recovery : recoveries) {
    for (const RecoveryAction& action : recovery) {
      switch (action.kind) {
        case RecoveryAction::Kind::Pause: context.Sleep(action.ms); break;
        case RecoveryAction::Kind::ReopenDiag: context.ReopenDiag(); break;
        case RecoveryAction::Kind::ReopenAt: context.ReopenAt(); break;
      }
    }
    if (attempt()) return true;
  }
  return false;
}

bool WaitForPorts(LineContext& context, const std::function<bool(const LineRecord&)>& found) {
  platform::Clock& clock = context.doc.Clock();
  const uint32_t start = clock.TickCount();
  for (;;) {
    if (discovery::LocateDevicePorts(context.doc, context.line, context.registry) &&
        found(context.Record()))
      return true;
    if (platform::Elapsed(start, clock.TickCount()) >= kReenumerationLimitMs) break;
    clock.Sleep(kPortSearchPauseMs);
  }
  context.Diag().SetErrorText(protocol::FormatText(
      "the stick did not come back within %u s", unsigned{kReenumerationLimitMs / 1000}));
  return false;
}

}  // namespace flotilla::update
