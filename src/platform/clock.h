// The clock seam: every sleep and tick count in the system goes through it.
#pragma once

#include <cstdint>

namespace flotilla::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread for about `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds since an arbitrary start; wraps like GetTickCount.
  virtual uint32_t TickCount() = 0;
};

// Milliseconds from `start` to `now`, correct across the 32-bit wrap.
inline uint32_t Elapsed(uint32_t start, uint32_t now) { return now - start; }

// The clock of the operating system.
Clock& SystemClock();

}  // namespace flotilla::platform
