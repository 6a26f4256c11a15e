// The diagnostics port switch over the line's AT channel.
#include "discovery/diag_switch.h"

#include "protocol/at_channel.h"

namespace flotilla::discovery {
namespace {

// Switching on also reads the version, so the window can show which firmware answered.
bool SwitchOn(protocol::AtChannel& channel, DiagSwitchState& state) {
  if (!protocol::EnsureDiagPort(channel)) {
    state.version = kNoVersionText;
    return false;
  }
  state.switched_on = true;
  std::string version;
  state.version = channel.ReadFirmwareVersion(version) ? version : kNoVersionText;
  return true;
}

// A failed switch-off changes nothing: the interface is still on and the next run tries again.
bool SwitchOff(protocol::AtChannel& channel, DiagSwitchState& state) {
  if (!protocol::DisableDiagPort(channel)) return false;
  state.switched_on = false;
  state.version.clear();
  return true;
}

}  // namespace

bool SwitchDiagnosticsPort(line::LineContext& context, DiagSwitchState& state) {
  if (context.Record().data_port == 0) {
    context.Status(kNoDataPortText);
    return false;
  }
  if (!context.ReopenAt()) {
    context.Status("");
    return false;
  }
  context.display.EnableLineControls(context.line, false);
  context.Sleep(kDiagSwitchSettleMs);
  protocol::AtChannel& channel = context.Record().at_channel;
  const bool switched = state.switched_on ? SwitchOff(channel, state) : SwitchOn(channel, state);
  context.Status("");
  context.display.EnableLineControls(context.line, true);
  channel.Port().Close();
  return switched;
}

}  // namespace flotilla::discovery
