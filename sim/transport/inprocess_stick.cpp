// The in-process transport of the simulated stick.
#include "sim/transport/inprocess_stick.h"

#include <algorithm>

namespace flotilla::sim {

// One opened port of the in-process stick, seen from the host.
class InProcessSerialDevice : public platform::SerialDevice {
 public:
  explicit InProcessSerialDevice(InProcessStick& stick) : stick_(stick) {}
  ~InProcessSerialDevice() override { Close(); }

  bool Open(int port, uint32_t, int, int) override {
    if (state_) return true;
    SimPort which;
    InProcessStick::PortState* state = stick_.PortFor(port, which);
    if (!state || state->opened) return false;  // absent, or held by another handle
    state->opened = true;
    state_ = state;
    which_ = which;
    DiscardArrived();
    return true;
  }

  bool Close() override {
    if (!state_) return true;
    DiscardArrived();
    state_->opened = false;
    state_ = nullptr;
    return true;
  }

  uint32_t Write(const uint8_t* data, uint32_t count) override {
    if (!state_) return 0;
    DiscardArrived();
    stick_.HostWrote(which_, data, count);
    return count;
  }

  uint32_t WriteStream(const uint8_t* data, uint32_t count) override {
    if (!state_) return 0;
    stick_.HostWrote(which_, data, count);
    return count;
  }

  uint32_t BytesWaiting() override {
    if (!state_) return 0;
    uint64_t now = stick_.clock_.NowMs();
    uint32_t n = 0;
    for (const auto& [arrival, byte] : state_->in_flight) {
      if (arrival > now) break;
      ++n;
    }
    return n;
  }

  uint32_t Read(uint8_t* buffer, uint32_t limit) override {
    uint32_t n = std::min(BytesWaiting(), limit);
    for (uint32_t i = 0; i < n; ++i) {
      buffer[i] = state_->in_flight.front().second;
      state_->in_flight.pop_front();
    }
    return n;
  }

  bool IsOpen() const override { return state_ != nullptr; }

 private:
  // Purging the input queue drops what has arrived; bytes still on the wire come later.
  void DiscardArrived() {
    uint64_t now = stick_.clock_.NowMs();
    auto& q = state_->in_flight;
    while (!q.empty() && q.front().first <= now) q.pop_front();
  }

  InProcessStick& stick_;
  InProcessStick::PortState* state_ = nullptr;
  SimPort which_ = SimPort::At;
};

InProcessStick::InProcessStick(platform::VirtualClock& clock, StickConfig config, LinkModel link,
                               SimLog log)
    : clock_(clock), model_(std::move(config), std::move(log)), link_(link) {}

void InProcessStick::SetPortNumbers(int at_port, int diag_port) {
  at_number_ = at_port;
  diag_number_ = diag_port;
}

std::unique_ptr<platform::SerialDevice> InProcessStick::CreateSerialDevice() {
  return std::make_unique<InProcessSerialDevice>(*this);
}

InProcessStick::PortState* InProcessStick::PortFor(int number, SimPort& which) {
  if (number <= 0) return nullptr;
  if (number == at_number_) {
    which = SimPort::At;
    return &at_;
  }
  if (number == diag_number_) {
    which = SimPort::Diag;
    return &diag_;
  }
  return nullptr;
}

void InProcessStick::HostWrote(SimPort port, const uint8_t* data, size_t length) {
  uint64_t now = clock_.NowMs();
  if (capture_) capture_->Record(now, port, Direction::HostToDevice, data, length);
  PortState& state = State(port);
  for (const Emission& e : model_.Receive(port, data, length)) {
    uint64_t start = std::max(now + e.delay_ms + link_.latency_ms, state.line_free_ms);
    for (size_t i = 0; i < e.bytes.size(); ++i)
      state.in_flight.emplace_back(start + link_.ByteArrivalMs(i), e.bytes[i]);
    state.line_free_ms = start + link_.ByteArrivalMs(e.bytes.size() ? e.bytes.size() - 1 : 0);
    if (capture_) capture_->Record(start, port, Direction::DeviceToHost, e.bytes.data(), e.bytes.size());
  }
}

}  // namespace flotilla::sim
