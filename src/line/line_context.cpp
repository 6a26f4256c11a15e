// Retries with recoveries.
#include "line/line_context.h"

namespace flotilla::line {

bool RetryWith(LineContext& context, const std::function<bool()>& attempt,
               const std::vector<Recovery>& recoveries, const std::function<bool()>& give_up) {
  if (attempt()) return true;
  for (const Recovery& recovery : recoveries) {
    if (give_up && give_up()) return false;
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

}  // namespace flotilla::line
