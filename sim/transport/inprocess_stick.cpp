// The in-process transport of the simulated stick.
#include "sim/transport/inprocess_stick.h"

#include <algorithm>

#include "sim/model/driver_registrations.h"

namespace flotilla::sim {

// One opened port of the in-process stick, seen from the host. When the stick drops its
// ports the device stays open but dead, as a handle to a vanished COM port does: the host
// has to close it and open the port again once it is back.
class InProcessSerialDevice : public platform::SerialDevice {
 public:
  explicit InProcessSerialDevice(InProcessStick& stick) : stick_(stick) {}
  ~InProcessSerialDevice() override { Close(); }

  bool Open(int port, uint32_t, int, int) override {
    if (state_) return true;
    stick_.Update();
    SimPort which;
    InProcessStick::PortState* state = stick_.PortFor(port, which);
    if (!state || state->opened) return false;  // absent, or held by another handle
    state->opened = true;
    state_ = state;
    which_ = which;
    generation_ = stick_.generation_;
    DiscardArrived();
    return true;
  }

  bool Close() override {
    if (!state_) return true;
    if (Alive()) {
      DiscardArrived();
      state_->opened = false;
    }
    state_ = nullptr;
    return true;
  }

  uint32_t Write(const uint8_t* data, uint32_t count) override {
    if (!Alive()) return 0;
    DiscardArrived();
    stick_.HostWrote(which_, data, count);
    return count;
  }

  uint32_t WriteStream(const uint8_t* data, uint32_t count) override {
    if (!Alive()) return 0;
    stick_.HostWrote(which_, data, count);
    return count;
  }

  uint32_t BytesWaiting() override {
    if (!Alive()) return 0;
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
  bool Alive() {
    if (!state_) return false;
    stick_.Update();
    return generation_ == stick_.generation_ && !stick_.away_;
  }

  // Purging the input queue drops what has arrived; bytes still on the wire come later.
  void DiscardArrived() {
    uint64_t now = stick_.clock_.NowMs();
    auto& q = state_->in_flight;
    while (!q.empty() && q.front().first <= now) q.pop_front();
  }

  InProcessStick& stick_;
  InProcessStick::PortState* state_ = nullptr;
  SimPort which_ = SimPort::At;
  uint64_t generation_ = 0;
};

InProcessStick::InProcessStick(platform::VirtualClock& clock, StickConfig config, LinkModel link,
                               SimLog log)
    : clock_(clock), log_(log), model_(std::move(config), std::move(log)), link_(link) {}

void InProcessStick::SetPortNumbers(int at_port, int diag_port) {
  if (registry_ && !away_) RemoveRegistrations();
  at_number_ = at_port;
  diag_number_ = diag_port;
  if (registry_ && !away_) WriteRegistrations();
}

void InProcessStick::SetRegistry(platform::MemoryRegistry* registry) {
  if (registry_ && !away_) RemoveRegistrations();
  registry_ = registry;
  Update();
  if (registry_ && !away_) WriteRegistrations();
}

bool InProcessStick::SetFaultPlan(const std::string& json, std::string& error) {
  FaultPlan plan;
  if (!FaultPlan::Parse(json, plan, error)) return false;
  model_.SetFaultPlan(std::move(plan));
  return true;
}

std::unique_ptr<platform::SerialDevice> InProcessStick::CreateSerialDevice() {
  return std::make_unique<InProcessSerialDevice>(*this);
}

InProcessStick::PortState* InProcessStick::PortFor(int number, SimPort& which) {
  if (number <= 0 || away_) return nullptr;
  if (number == at_number_ && model_.HasAtPort()) {
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
  for (const Emission& e : model_.Receive(port, data, length, now)) {
    uint64_t start = std::max(now + e.delay_ms + link_.latency_ms, state.line_free_ms);
    if (e.gap_ms) start = std::max(start, state.line_free_ms + e.gap_ms);
    for (size_t i = 0; i < e.bytes.size(); ++i)
      state.in_flight.emplace_back(start + link_.ByteArrivalMs(i), e.bytes[i]);
    state.line_free_ms = start + link_.ByteArrivalMs(e.bytes.size() ? e.bytes.size() - 1 : 0);
    if (capture_) capture_->Record(start, port, Direction::DeviceToHost, e.bytes.data(), e.bytes.size());
  }
  if (auto reset = model_.TakeReenumeration()) {
    // The answer leaves first; the ports drop a moment after its last byte.
    drop_at_ms_ = std::max(now, state.line_free_ms) + reset->drop_after_ms;
    away_ms_ = reset->away_ms;
    away_for_good_ = reset->for_good;
  }
}

void InProcessStick::Update() {
  const uint64_t now = clock_.NowMs();
  if (drop_at_ms_ && now >= *drop_at_ms_) {
    back_at_ms_ = *drop_at_ms_ + away_ms_;
    drop_at_ms_.reset();
    DropPorts();
  }
  if (away_ && !away_for_good_ && now >= back_at_ms_) BringPortsBack();
}

void InProcessStick::DropPorts() {
  away_ = true;
  ++generation_;
  for (PortState* state : {&at_, &diag_}) {
    state->opened = false;
    state->in_flight.clear();
  }
  if (registry_) RemoveRegistrations();
  model_.Restart();
  Log(away_for_good_ ? std::string("stick: ports gone for good")
                     : "stick: ports gone, back in " + std::to_string(away_ms_) + " ms");
}

void InProcessStick::BringPortsBack() {
  away_ = false;
  if (const int shift = static_cast<int>(model_.Config().reenum_com_shift)) {
    at_number_ += shift;
    diag_number_ += shift;
    Log("stick: ports renumbered COM" + std::to_string(at_number_) + " and COM" + std::to_string(diag_number_));
  }
  if (registry_) WriteRegistrations();
  Log("stick: ports back");
}

void InProcessStick::WriteRegistrations() {
  if (at_number_ <= 0 || diag_number_ <= 0) return;
  // Outside the firmware only the DIAG port is announced.
  const int at = model_.HasAtPort() ? at_number_ : 0;
  for (const RegistryEntry& e : RegistrationsFor(model_.Config(), at, diag_number_).values) {
    if (e.is_dword) registry_->SetDword(e.key, e.name, e.number);
    else registry_->SetString(e.key, e.name, e.text);
  }
}

void InProcessStick::RemoveRegistrations() {
  if (at_number_ <= 0 || diag_number_ <= 0) return;
  for (const std::string& key : RegistrationsFor(model_.Config(), at_number_, diag_number_).keys)
    registry_->DeleteKey(key);
}

long InProcessStick::SyncedRegistry::OpenLocalMachineKey(const std::string& path, uint32_t access,
                                                         platform::RegistryHandle& key) {
  stick_.Update();
  if (!stick_.registry_) return platform::kRegistryFileNotFound;
  return stick_.registry_->OpenLocalMachineKey(path, access, key);
}

long InProcessStick::SyncedRegistry::QueryValue(platform::RegistryHandle key, const std::string& name,
                                                uint8_t* data, uint32_t& size) {
  stick_.Update();
  if (!stick_.registry_) return platform::kRegistryInvalidHandle;
  return stick_.registry_->QueryValue(key, name, data, size);
}

long InProcessStick::SyncedRegistry::CloseKey(platform::RegistryHandle key) {
  if (!stick_.registry_) return platform::kRegistryInvalidHandle;
  return stick_.registry_->CloseKey(key);
}

}  // namespace flotilla::sim
