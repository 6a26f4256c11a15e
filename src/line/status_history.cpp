// Status stamps and the guarded history text.
#include "line/status_history.h"

namespace flotilla::line {

std::string StatusStamp(const platform::LocalTime& t) {
  return std::to_string(t.year) + "." + std::to_string(t.month) + "." + std::to_string(t.day) + " " +
         std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second) +
         "——";
}

std::string FileStamp(const platform::LocalTime& t) {
  return std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) +
         std::to_string(t.hour) + std::to_string(t.minute) + std::to_string(t.second);
}

void StatusHistory::Append(const std::string& text, const platform::LocalTime* time) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (time) text_ += StatusStamp(*time);
  text_ += text;
  text_ += '\n';
}

void StatusHistory::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

std::string StatusHistory::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

}  // namespace flotilla::line
