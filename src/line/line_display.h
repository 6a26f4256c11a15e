// The display operations of the window that line workers use to report.
#pragma once

#include <string>

namespace flotilla::line {

class LineDisplay {
 public:
  virtual ~LineDisplay() = default;
  // Adds a line to the line's status history (the action log) and shows it.
  virtual void AppendLineStatus(int line, const std::string& text) = 0;
  // Progress in percent, 0 to 100.
  virtual void SetLineProgress(int line, int percent) = 0;
};

}  // namespace flotilla::line
