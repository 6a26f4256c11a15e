// The status history of a line: every status line of the current operation with its stamp,
// written by the worker and the device watch and read whole by the action log.
#pragma once

#include <mutex>
#include <string>

#include "platform/clock.h"

namespace flotilla::line {

// "2009.3.5 14:7:9——": the numbers without leading zeros, then two full-width dashes.
std::string StatusStamp(const platform::LocalTime& time);
// "20093514709": year, month, day, hour, minute and second run together, for file names.
std::string FileStamp(const platform::LocalTime& time);

class StatusHistory {
 public:
  // Appends `text` and a line feed, after the stamp of `time` when given.
  void Append(const std::string& text, const platform::LocalTime* time);
  void Clear();
  // A copy of the whole history.
  std::string Text() const;

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace flotilla::line
