// The POSIX serial device: a tty (usually a pty of stick-sim) found through a port map.
#pragma once

#include <string>

#include "platform/port_map.h"
#include "platform/serial_device.h"

namespace flotilla::platform {

class PosixSerialPort : public SerialDevice {
 public:
  explicit PosixSerialPort(const PortMap& ports) : ports_(ports) {}
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool Open(int port, uint32_t baud, int data_bits, int stop_bits) override;
  bool Close() override;
  uint32_t Write(const uint8_t* data, uint32_t count) override;
  uint32_t WriteStream(const uint8_t* data, uint32_t count) override;
  uint32_t BytesWaiting() override;
  uint32_t Read(uint8_t* buffer, uint32_t limit) override;
  bool IsOpen() const override { return fd_ >= 0; }

 private:
  uint32_t WriteAll(const uint8_t* data, uint32_t count);

  const PortMap& ports_;
  int fd_ = -1;
};

class PosixSerialFactory : public SerialDeviceFactory {
 public:
  explicit PosixSerialFactory(const PortMap& ports) : ports_(ports) {}
  std::unique_ptr<SerialDevice> CreateSerialDevice() override {
    return std::make_unique<PosixSerialPort>(ports_);
  }

 private:
  const PortMap& ports_;
};

}  // namespace flotilla::platform
