// The clock seam: every sleep and tick count in the system goes through it.
#pragma once

#include <cstdint>

namespace flotilla::platform {

// A local date and time as the user's calendar shows it; month and day count from 1.
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread for about `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds since an arbitrary start; wraps like GetTickCount.
  virtual uint32_t TickCount() = 0;
  // The local date and time now, for the stamps of status lines and log file names.
  virtual LocalTime LocalNow() = 0;
};

// Milliseconds from `start` to `now`, correct across the 32-bit wrap.
inline uint32_t Elapsed(uint32_t start, uint32_t now) { return now - start; }

// The clock of the operating system.
Clock& SystemClock();

}  // namespace flotilla::platform
