// The display operations of the window that line workers use to report.
#pragma once

#include <string>

namespace flotilla::line {

enum class LineIcon : int { Ready = 0, Running = 1, Pass = 2, Fail = 3 };

// Every operation may be called from a worker or watch thread; a window implementation hands
// it to its own thread and never makes the caller wait for the window.
class LineDisplay {
 public:
  virtual ~LineDisplay() = default;
  // Shows a status line of the line; the line's history (LineRecord::history) keeps it with
  // its stamp for the action log.
  virtual void AppendLineStatus(int line, const std::string& text) = 0;
  // Progress in percent, 0 to 100.
  virtual void SetLineProgress(int line, int percent) = 0;
  // The rest have nothing to show without a window.
  virtual void SetLineIcon(int /*line*/, LineIcon /*icon*/) {}
  virtual void ShowLinePorts(int /*line*/) {}
  virtual void ShowLineVersions(int /*line*/) {}
  // Enables the line's start controls (and, while no line runs, the shared ones).
  virtual void EnableLineControls(int /*line*/, bool /*enable*/) {}
};

}  // namespace flotilla::line
