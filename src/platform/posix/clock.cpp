// The POSIX clock: a monotonic millisecond count and nanosleep.
#include <time.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace flotilla::platform {
namespace {

class PosixClock : public Clock {
 public:
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  uint32_t TickCount() override {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
  }
  LocalTime LocalNow() override {
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace flotilla::platform
