// A clock for tests and the in-process simulator.
#include "platform/virtual_clock.h"

namespace flotilla::platform {

void VirtualClock::Sleep(uint32_t ms) {
  sleeps_.push_back(ms);
  now_ms_ += ms;
}

}  // namespace flotilla::platform
