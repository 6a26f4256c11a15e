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

  uint64_t NowMs() const { return now_ms_; }
  void Advance(uint64_t ms) { now_ms_ += ms; }

  // Every sleep, in order, so tests can assert the mandated pauses exactly.
  const std::vector<uint32_t>& Sleeps() const { return sleeps_; }
  void ClearSleeps() { sleeps_.clear(); }

 private:
  uint64_t now_ms_;
  std::vector<uint32_t> sleeps_;
};

}  // namespace flotilla::platform
