// A serial device for tests: each write is answered by the next scripted reply, which
// arrives by virtual time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "platform/serial_device.h"
#include "platform/virtual_clock.h"

namespace flotilla::test {

struct ScriptedReply {
  ScriptedReply(uint32_t delay, std::string first, uint32_t second_delay = 0,
                std::string second = std::string())
      : delay_ms(delay), text(std::move(first)), second_delay_ms(second_delay),
        second_text(std::move(second)) {}

  uint32_t delay_ms;  // silence when `text` is empty
  std::string text;
  // A second burst of the same reply, this long after the first.
  uint32_t second_delay_ms;
  std::string second_text;
};

class ScriptedDevice : public platform::SerialDevice {
 public:
  // The test keeps the script and counters; the channel owns the device.
  struct Script {
    std::deque<ScriptedReply> replies;
    int writes = 0;
    std::string last_write;
    bool short_writes = false;  // every write reports one byte less than asked
  };

  ScriptedDevice(platform::VirtualClock& clock, Script& script) : clock_(clock), script_(script) {}

  bool Open(int, uint32_t, int, int) override { return open_ = true; }
  bool Close() override {
    open_ = false;
    return true;
  }
  uint32_t Write(const uint8_t* data, uint32_t count) override {
    input_.erase(std::remove_if(input_.begin(), input_.end(),
                                [&](const auto& b) { return b.first <= clock_.NowMs(); }),
                 input_.end());
    return WriteStream(data, count);
  }
  uint32_t WriteStream(const uint8_t* data, uint32_t count) override {
    ++script_.writes;
    script_.last_write.assign(reinterpret_cast<const char*>(data), count);
    if (script_.short_writes) return count - 1;
    if (!script_.replies.empty()) {
      ScriptedReply r = script_.replies.front();
      script_.replies.pop_front();
      const uint64_t now = clock_.NowMs();
      for (char c : r.text) input_.emplace_back(now + r.delay_ms, static_cast<uint8_t>(c));
      for (char c : r.second_text)
        input_.emplace_back(now + r.delay_ms + r.second_delay_ms, static_cast<uint8_t>(c));
    }
    return count;
  }
  uint32_t BytesWaiting() override {
    return static_cast<uint32_t>(std::count_if(
        input_.begin(), input_.end(), [&](const auto& b) { return b.first <= clock_.NowMs(); }));
  }
  uint32_t Read(uint8_t* buffer, uint32_t limit) override {
    uint32_t n = std::min(BytesWaiting(), limit);
    for (uint32_t i = 0; i < n; ++i) {
      buffer[i] = input_.front().second;
      input_.pop_front();
    }
    return n;
  }
  bool IsOpen() const override { return open_; }

 private:
  platform::VirtualClock& clock_;
  Script& script_;
  std::deque<std::pair<uint64_t, uint8_t>> input_;
  bool open_ = false;
};

}  // namespace flotilla::test
