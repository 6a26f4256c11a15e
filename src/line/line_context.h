// LineContext: one line with the services its operations need, and the retry helper that
// the device sequences are written with.
#pragma once

#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/prompts.h"
#include "platform/registry.h"
#include "line/flotilla_doc.h"
#include "line/line_display.h"

namespace flotilla::line {

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
  // A status line: kept stamped in the line's history and shown alone.
  void Status(const std::string& text) {
    const platform::LocalTime now = doc.Clock().LocalNow();
    Record().history.Append(text, &now);
    display.AppendLineStatus(line, text);
  }
  // A line of the history alone, without stamp and without showing it.
  void Note(const std::string& text) { Record().history.Append(text, nullptr); }
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
// result is that of the last try. When `give_up` is given and holds after a failure, no
// further recovery or try follows.
bool RetryWith(LineContext& context, const std::function<bool()>& attempt,
               const std::vector<Recovery>& recoveries,
               const std::function<bool()>& give_up = nullptr);

}  // namespace flotilla::line
