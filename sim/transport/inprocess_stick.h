// The simulated stick in the same process, on the virtual clock: its ports are serial
// devices whose replies arrive when virtual time reaches them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/memory_registry.h"
#include "platform/registry.h"
#include "platform/serial_device.h"
#include "platform/virtual_clock.h"
#include "sim/model/capture.h"
#include "sim/model/stick.h"

namespace flotilla::sim {

class InProcessStick : public platform::SerialDeviceFactory {
 public:
  InProcessStick(platform::VirtualClock& clock, StickConfig config, LinkModel link = {},
                 SimLog log = nullptr);

  // The port numbers (the n of COMn) under which the stick's ports can be opened. With a
  // COM shift in the config they grow each time the ports come back.
  void SetPortNumbers(int at_port, int diag_port);
  int AtPortNumber() const { return at_number_; }
  int DiagPortNumber() const { return diag_number_; }
  void SetCapture(Capture* capture) { capture_ = capture; }
  // The registry that receives the driver registrations of the ports while they are present
  // (nullptr: none). Written at once when the ports are present.
  void SetRegistry(platform::MemoryRegistry* registry);
  void SetFaultPlan(FaultPlan plan) { model_.SetFaultPlan(std::move(plan)); }
  // The JSON form; false with `error` set when it does not parse (the plan is then unchanged).
  bool SetFaultPlan(const std::string& json, std::string& error);

  // A closed device that can open either port of the stick.
  std::unique_ptr<platform::SerialDevice> CreateSerialDevice() override;

  // The stick follows virtual time whenever the host touches one of its ports; Update does
  // it on request (a test, or a host that only reads the registry).
  void Update();
  // False while the stick is re-enumerating.
  bool PortsPresent() {
    Update();
    return !away_;
  }
  // The registry as the host should read it: every read first lets the stick catch up with
  // virtual time, so registrations vanish and return on time. Needs SetRegistry.
  platform::Registry& HostRegistry() { return host_registry_; }

  StickModel& Model() { return model_; }
  // The flash as the programmer left it (also kept under the state directory, if any).
  const FlashStore& Flash() const { return model_.Flash(); }

 private:
  friend class InProcessSerialDevice;

  struct PortState {
    bool opened = false;
    // Bytes on their way to the host, each with the virtual time it arrives.
    std::deque<std::pair<uint64_t, uint8_t>> in_flight;
    uint64_t line_free_ms = 0;  // when the stick's transmitter is idle again
  };

  // Forwards to the memory registry after letting the stick catch up.
  class SyncedRegistry : public platform::Registry {
   public:
    explicit SyncedRegistry(InProcessStick& stick) : stick_(stick) {}
    long OpenLocalMachineKey(const std::string& path, uint32_t access,
                             platform::RegistryHandle& key) override;
    long QueryValue(platform::RegistryHandle key, const std::string& name, uint8_t* data,
                    uint32_t& size) override;
    long CloseKey(platform::RegistryHandle key) override;

   private:
    InProcessStick& stick_;
  };

  PortState* PortFor(int number, SimPort& which);
  PortState& State(SimPort port) { return port == SimPort::At ? at_ : diag_; }
  void HostWrote(SimPort port, const uint8_t* data, size_t length);
  void DropPorts();
  void BringPortsBack();
  void WriteRegistrations();
  void RemoveRegistrations();
  void Log(const std::string& line) {
    if (log_) log_(line);
  }

  platform::VirtualClock& clock_;
  SimLog log_;
  StickModel model_;
  LinkModel link_;
  Capture* capture_ = nullptr;
  platform::MemoryRegistry* registry_ = nullptr;
  SyncedRegistry host_registry_{*this};
  int at_number_ = 0;
  int diag_number_ = 0;
  PortState at_;
  PortState diag_;

  // Re-enumeration: devices opened before a drop belong to an older generation and are dead.
  uint64_t generation_ = 0;
  bool away_ = false;
  std::optional<uint64_t> drop_at_ms_;
  uint64_t back_at_ms_ = 0;
  uint32_t away_ms_ = 0;
  bool away_for_good_ = false;
};

}  // namespace flotilla::sim
