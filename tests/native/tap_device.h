// A serial device factory over the in-process stick whose devices hand every write the host
// makes on one port to a callback, then pass it on: what the host asked, as it asked it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/serial_device.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::taps {

using TapNote = std::function<void(const std::vector<uint8_t>&)>;

class TapDevice : public platform::SerialDevice {
 public:
  TapDevice(std::unique_ptr<platform::SerialDevice> inner, int tapped_port, TapNote note)
      : inner_(std::move(inner)), tapped_port_(tapped_port), note_(std::move(note)) {}
  bool Open(int port, uint32_t baud, int data_bits, int stop_bits) override {
    port_ = port;
    return inner_->Open(port, baud, data_bits, stop_bits);
  }
  bool Close() override { return inner_->Close(); }
  uint32_t Write(const uint8_t* data, uint32_t count) override {
    Note(data, count);
    return inner_->Write(data, count);
  }
  uint32_t WriteStream(const uint8_t* data, uint32_t count) override {
    Note(data, count);
    return inner_->WriteStream(data, count);
  }
  uint32_t BytesWaiting() override { return inner_->BytesWaiting(); }
  uint32_t Read(uint8_t* buffer, uint32_t limit) override { return inner_->Read(buffer, limit); }
  bool IsOpen() const override { return inner_->IsOpen(); }

 private:
  void Note(const uint8_t* data, uint32_t count) {
    if (port_ == tapped_port_) note_(std::vector<uint8_t>(data, data + count));
  }

  std::unique_ptr<platform::SerialDevice> inner_;
  int tapped_port_;
  TapNote note_;
  int port_ = 0;
};

class TapFactory : public platform::SerialDeviceFactory {
 public:
  TapFactory(sim::InProcessStick& stick, int tapped_port, TapNote note)
      : stick_(stick), tapped_port_(tapped_port), note_(std::move(note)) {}
  std::unique_ptr<platform::SerialDevice> CreateSerialDevice() override {
    return std::make_unique<TapDevice>(stick_.CreateSerialDevice(), tapped_port_, note_);
  }

 private:
  sim::InProcessStick& stick_;
  int tapped_port_;
  TapNote note_;
};

}  // namespace flotilla::taps
