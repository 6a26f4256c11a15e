// LineContext: one line with the services its operations need, and the retry helper that
// the device sequences are written with.
#pragma once

#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/prompts.h"
#include "platform/registry.h"
#include "update/flotilla_doc.h"
#include "update/line_display.h"

namespace flotilla::update {

constexpr uint32_t kLineBaud = 115200;

struct LineContext {
  CFlotillaDoc& doc;
  platform::Registry& registry;
  LineDisplay& display;
  platform::Prompts& prompts;
  int line;

  LineRecord& Record() { return doc.Line(line); }
  protocol::PhoneChannel& Diag() { return Record().diag_channel; }
  void Sleep(uint32_t ms) { doc.Clock().Sleep(ms); }
  void Status(const std::string& text) { display.AppendLineStatus(line, text); }
  void Progress(int percent) { display.SetLineProgress(line, percent); }
  // Close-and-open of the line's ports at their current numbers.
  bool ReopenDiag() { return doc.OpenDiagPort(line, Record().diag_port, kLineBaud); }
  bool ReopenAt() { return doc.OpenAtPort(line, Record().data_port, kLineBaud); }
};

// One thing done before a retry: a pause, or re-opening one of the line's ports.
struct RecoveryAction {
  enum class Kind { Pause, ReopenDiag, ReopenAt } kind;
  uint32_t ms;
};
inline RecoveryAction Pause(uint32_t ms) { return {RecoveryAction::Kind::Pause, ms}; }
inline RecoveryAction ReopenDiag() { return {RecoveryAction::Kind::ReopenDiag, 0}; }
inline RecoveryAction ReopenAt() { return {RecoveryAction::Kind::ReopenAt, 0}; }
using Recovery = std::vector<RecoveryAction>;

// Runs `attempt`; after each failure performs the next recovery and runs it again. The
// result is that of the last try.
bool RetryWith(LineContext& context, const std::function<bool()>& attempt,
               const std::vector<Recovery>& recoveries);

// How long a sequence waits for a stick that re-enumerates before it gives up, and the pause
// between two port lookups meanwhile.
constexpr uint32_t kReenumerationLimitMs = 120000;
constexpr uint32_t kPortSearchPauseMs = 1000;

// Looks the line's ports up until `found` holds, pausing between lookups; false (with the
// channel's ErrorText saying so) after kReenumerationLimitMs.
bool WaitForPorts(LineContext& context, const std::function<bool(const LineRecord&)>& found);

}  // namespace flotilla::update
