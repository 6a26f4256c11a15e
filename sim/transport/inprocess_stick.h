// The simulated stick in the same process, on the virtual clock: its ports are serial
// devices whose replies arrive when virtual time reaches them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "platform/serial_device.h"
#include "platform/virtual_clock.h"
#include "sim/model/capture.h"
#include "sim/model/stick.h"

namespace flotilla::sim {

class InProcessStick : public platform::SerialDeviceFactory {
 public:
  InProcessStick(platform::VirtualClock& clock, StickConfig config, LinkModel link = {},
                 SimLog log = nullptr);

  // The port numbers (the n of COMn) under which the stick's ports can be opened.
  void SetPortNumbers(int at_port, int diag_port);
  void SetCapture(Capture* capture) { capture_ = capture; }

  // A closed device that can open either port of the stick.
  std::unique_ptr<platform::SerialDevice> CreateSerialDevice() override;

  StickModel& Model() { return model_; }

 private:
  friend class InProcessSerialDevice;

  struct PortState {
    bool opened = false;
    // Bytes on their way to the host, each with the virtual time it arrives.
    std::deque<std::pair<uint64_t, uint8_t>> in_flight;
    uint64_t line_free_ms = 0;  // when the stick's transmitter is idle again
  };

  PortState* PortFor(int number, SimPort& which);
  PortState& State(SimPort port) { return port == SimPort::At ? at_ : diag_; }
  void HostWrote(SimPort port, const uint8_t* data, size_t length);

  platform::VirtualClock& clock_;
  StickModel model_;
  LinkModel link_;
  Capture* capture_ = nullptr;
  int at_number_ = 0;
  int diag_number_ = 0;
  PortState at_;
  PortState diag_;
};

}  // namespace flotilla::sim
