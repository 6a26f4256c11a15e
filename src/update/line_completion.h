// FinishLineAction: how a line operation that did not end the program reports its end. It
// writes the line's action log and shows the outcome; HandBackLine then gives the line back.
#pragma once

#include <functional>
#include <string>

#include "line/line_context.h"
#include "platform/files.h"

namespace flotilla::update {

// How an operation ended: its icon and whether the stick is reset.
enum class ActionOutcome : int {
  PassAndReset = 0,
  Pass = 1,
  FailAndReset = 2,
  Fail = 3,
  DownloadFailedAndReset = 4,
  // Failed, and the stick may hang in its boot downloader: not reset, the user is asked to.
  FailMaybeInDownloader = 5,
};

struct LineCompletion {
  platform::FileSystem& files;
  // The program's start directory; the logs go to its "Logs" folder.
  std::string start_directory;
  // Lets the line's device watch look for the stick again; empty when the line has none.
  std::function<void(int line)> resume_watch;
};

// The action log path of `line` at `stamp` ("%s\Logs\ActionLog%d_%s.txt"). When that file
// exists already (two operations in one second, or two times with the same digits), the
// name gets "_2", "_3", ... before ".txt", so no earlier log is replaced.
std::string ActionLogPath(platform::FileSystem& files, const std::string& start_directory,
                          int line, const std::string& stamp);

// The final text, the action log, the icon and the reset of the outcome. It leaves the line
// busy: the worker may still use the stick after it (a box, a second finish), and hands the
// line back only at its way out.
void FinishLineAction(line::LineContext& context, LineCompletion& completion,
                      const std::string& text, ActionOutcome outcome);

// Whom a worker leaves its line to.
enum class LineExit {
  // Ended through FinishLineAction: the device watch looks for the stick again and the
  // line's controls are enabled.
  ToUserAndWatch,
  // Ended with a status line or a box alone: the watch stays paused and the controls
  // disabled; only the running flag is cleared.
  FlagOnly,
};

// A worker's last act on its line, after its last use of the line's ports: the watch resumes
// (it may reopen the ports at once), then the running flag is cleared, so neither the watch
// nor a new start ever meets the worker on the stick.
void HandBackLine(line::LineContext& context, LineCompletion& completion, LineExit exit);

}  // namespace flotilla::update
