// A clock for tests and the in-process simulator.
#include "platform/virtual_clock.h"

namespace flotilla::platform {

void VirtualClock::Sleep(uint32_t ms) {
  sleeps_.push_back(ms);
  now_ms_ += ms;
}

LocalTime VirtualClock::LocalNow() {
  // Seconds carry into minutes, hours and days; a test that needs a month's end sets a date.
  LocalTime t = calendar_start_;
  uint64_t seconds = t.second + (now_ms_ - calendar_set_at_ms_) / 1000;
  t.second = static_cast<int>(seconds % 60);
  uint64_t minutes = t.minute + seconds / 60;
  t.minute = static_cast<int>(minutes % 60);
  uint64_t hours = t.hour + minutes / 60;
  t.hour = static_cast<int>(hours % 24);
  t.day += static_cast<int>(hours / 24);
  return t;
}

}  // namespace flotilla::platform
