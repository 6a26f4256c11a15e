// The Windows clock: Sleep and GetTickCount.
#include <windows.h>

#include "platform/clock.h"

namespace flotilla::platform {
namespace {

class Win32Clock : public Clock {
 public:
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
  uint32_t TickCount() override { return ::GetTickCount(); }
  LocalTime LocalNow() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace flotilla::platform
