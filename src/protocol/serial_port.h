// SerialPort: a channel's byte link to one of the stick's COM ports, over a platform device.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/serial_device.h"

namespace flotilla::protocol {

// Every caller opens at 115200 baud, 8 data bits, no parity, 1 stop bit.
constexpr uint32_t kBaudRate = 115200;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;

// Owns the device it is given; without one it behaves as a port that never opens.
class SerialPort {
 public:
  explicit SerialPort(std::unique_ptr<platform::SerialDevice> device)
      : device_(std::move(device)) {}
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool Open(int port, uint32_t baud = kBaudRate, int data_bits = kDataBits,
            int stop_bits = kStopBits) {
    return device_ && device_->Open(port, baud, data_bits, stop_bits);
  }
  bool Close() { return device_ ? device_->Close() : true; }
  uint32_t Write(const uint8_t* data, uint32_t count) {
    return device_ ? device_->Write(data, count) : 0;
  }
  uint32_t WriteStream(const uint8_t* data, uint32_t count) {
    return device_ ? device_->WriteStream(data, count) : 0;
  }
  uint32_t BytesWaiting() { return device_ ? device_->BytesWaiting() : 0; }
  uint32_t Read(uint8_t* buffer, uint32_t limit) {
    const uint32_t got = device_ ? device_->Read(buffer, limit) : 0;
    bytes_read_ += got;
    return got;
  }
  // Every byte read from the stick through this port, across closes and re-opens: whether it
  // has said anything at all over a stretch of exchanges.
  uint64_t BytesRead() const { return bytes_read_; }
  bool IsOpen() const { return device_ && device_->IsOpen(); }

  // Closes (when open) and opens again, as the line code does to (re)open a port.
  bool Reopen(int port) {
    if (IsOpen()) Close();
    return Open(port);
  }

 private:
  std::unique_ptr<platform::SerialDevice> device_;
  uint64_t bytes_read_ = 0;
};

}  // namespace flotilla::protocol
