// A clock for tests and the in-process simulator: a sleep advances virtual time at once.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace flotilla::platform {

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(uint64_t start_ms = 0) : now_ms_(start_ms) {}

  void Sleep(uint32_t ms) override;
  uint32_t TickCount() override { return static_cast<uint32_t>(now_ms_); }
  // The calendar starts at `SetLocalTime`'s date (28 July 2009, 13:05:09 unless set) and moves
  // on with virtual time.
  LocalTime LocalNow() override;
  void SetLocalTime(const LocalTime& start) {
    calendar_start_ = start;
    calendar_set_at_ms_ = now_ms_;
  }

  uint64_t NowMs() const { return now_ms_; }
  void Advance(uint64_t ms) { now_ms_ += ms; }

  // Every sleep, in order, so tests can assert the mandated pauses exactly.
  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }
  void ClearSleeps() { sleeps_.clear(); }

 private:
  uint64_t now_ms_;
  std::vector<uint32_t> sleeps_;
  LocalTime calendar_start_{2009, 7, 28, 13, 5, 9};
  uint64_t calendar_set_at_ms_ = 0;
};

}  // namespace flotilla::platform
