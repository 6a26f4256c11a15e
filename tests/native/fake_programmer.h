// A stick in its boot downloader or flash programmer for tests of the download sequences:
// it unframes every request, records it and answers through a policy the test can change.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial_device.h"
#include "platform/virtual_clock.h"
#include "protocol/framing.h"

namespace flotilla::test {

using Packet = std::vector<uint8_t>;

class FakeProgrammer : public platform::SerialDeviceFactory {
 public:
  // The reply packet for a request packet; nullopt for silence. `flagged` tells a boot
  // downloader or streaming request (framed with a leading flag) from a DIAG one.
  using Policy = std::function<std::optional<Packet>(const Packet& request, bool flagged)>;

  explicit FakeProgrammer(platform::VirtualClock& clock) : clock_(clock) { policy = Default; }

  // Answers DIAG requests as the running firmware, boot downloader requests with an
  // acknowledge and streaming ones as a flash programmer does.
  static std::optional<Packet> Default(const Packet& request, bool flagged) {
    if (!flagged) return DiagDefault(request);
    switch (request.empty() ? 0 : request[0]) {
      case 0x05: case 0x06: case 0x0A: case 0x0F: return Packet{0x02};  // ack
      case 0x07:
        if (request.size() > 1) return Packet{0x08, request[1], request[2], request[3], request[4]};
        return Packet{0x08, 4, 2, 0x00, 0x04, 0, 0, 1, 2, 3};  // boot parameters
      case 0x01: return Packet{0x02, 'Q', 'C', 'O', 'M'};  // hello reply
      default: return Packet{static_cast<uint8_t>(request[0] + 1)};
    }
  }

  static std::optional<Packet> DiagDefault(const Packet& request) {
    switch (request.empty() ? 0 : request[0]) {
      case 0x01: return Packet{0x01, 0x78, 0x56, 0x34, 0x12};
      case 0x39: {
        Packet reply = {0x39, 'N', 'E', 'W', '_', 'F', 'W'};
        reply.resize(200, 0);
        return reply;
      }
      case 0x4B: return Packet{0x4B, 0x04, 0x0E, 0x00, 0x00};
      default: return request;  // echo: offline, reset, unlock, switch, prepare
    }
  }

  std::unique_ptr<platform::SerialDevice> CreateSerialDevice() override;

  Policy policy;
  std::vector<Packet> requests;
  int opens = 0;
  // What happened between the clock's sleeps, for schedules: each open and each request's code,
  // with the number of sleeps made before it.
  std::vector<std::pair<size_t, std::string>> marks;

 private:
  friend class FakeProgrammerPort;
  void Receive(const uint8_t* data, size_t length);

  platform::VirtualClock& clock_;
  std::vector<uint8_t> pending_;
  std::deque<std::pair<uint64_t, uint8_t>> input_;
};

class FakeProgrammerPort : public platform::SerialDevice {
 public:
  explicit FakeProgrammerPort(FakeProgrammer& stick) : stick_(stick) {}
  bool Open(int port, uint32_t, int, int) override {
    if (port == 0) return false;
    if (!open_) ++stick_.opens;
    open_ = true;
    stick_.marks.emplace_back(stick_.clock_.Sleeps().size(), "open");
    return true;
  }
  bool Close() override {
    open_ = false;
    return true;
  }
  uint32_t Write(const uint8_t* data, uint32_t count) override {
    auto& q = stick_.input_;
    while (!q.empty() && q.front().first <= stick_.clock_.NowMs()) q.pop_front();
    return WriteStream(data, count);
  }
  uint32_t WriteStream(const uint8_t* data, uint32_t count) override {
    if (!open_) return 0;
    stick_.Receive(data, count);
    return count;
  }
  uint32_t BytesWaiting() override {
    if (!open_) return 0;
    uint32_t n = 0;
    for (const auto& b : stick_.input_)
      if (b.first <= stick_.clock_.NowMs()) ++n;
    return n;
  }
  uint32_t Read(uint8_t* buffer, uint32_t limit) override {
    uint32_t n = BytesWaiting();
    n = n < limit ? n : limit;
    for (uint32_t i = 0; i < n; ++i) {
      buffer[i] = stick_.input_.front().second;
      stick_.input_.pop_front();
    }
    return n;
  }
  bool IsOpen() const override { return open_; }

 private:
  FakeProgrammer& stick_;
  bool open_ = false;
};

inline std::unique_ptr<platform::SerialDevice> FakeProgrammer::CreateSerialDevice() {
  return std::make_unique<FakeProgrammerPort>(*this);
}

inline void FakeProgrammer::Receive(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    pending_.push_back(data[i]);
    if (data[i] != protocol::kFlag || pending_.size() == 1) continue;
    Packet frame;
    frame.swap(pending_);
    const bool flagged = frame[0] == protocol::kFlag;
    frame.push_back(0);
    size_t n = frame.size() - 1;
    const auto mode = flagged ? protocol::PacketMode::Streaming : protocol::PacketMode::Diag;
    if (protocol::UnframeInPlace(mode, frame.data(), n, frame.size()) != protocol::UnframeStatus::Ok)
      continue;
    frame.resize(n - 2);
    requests.push_back(frame);
    char code[8];
    std::snprintf(code, sizeof code, "%02x", frame.empty() ? 0 : frame[0]);
    marks.emplace_back(clock_.Sleeps().size(), code);
    auto reply = policy(frame, flagged);
    if (!reply) continue;
    std::vector<uint8_t> out(protocol::MaxFrameLength(reply->size()));
    size_t m = protocol::FramePacket(mode, reply->data(), reply->size(), out.data(), out.size());
    for (size_t k = 0; k < m; ++k) input_.emplace_back(clock_.NowMs() + 2, out[k]);
  }
}

}  // namespace flotilla::test
