// The serial device seam: one COM-style port that can be opened, written, polled and read.
#pragma once

#include <cstdint>
#include <memory>

namespace flotilla::platform {

// Every operation has finished or given up before it returns; a device is used by one
// thread at a time. Failures are reported as false or 0, never thrown.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens port `port` (the n of COMn). True when open, also when it already was; an open
  // device is not reconfigured. A failed open leaves nothing held.
  virtual bool Open(int port, uint32_t baud, int data_bits, int stop_bits) = 0;
  // Always true; discards both directions first when open.
  virtual bool Close() = 0;
  // Discards unread input and pending output, then writes the buffer. Bytes written; 0 on
  // failure or time-out.
  virtual uint32_t Write(const uint8_t* data, uint32_t count) = 0;
  // As Write, but input already received stays queued.
  virtual uint32_t WriteStream(const uint8_t* data, uint32_t count) = 0;
  // Bytes received and not yet read; 0 when closed.
  virtual uint32_t BytesWaiting() = 0;
  // Reads at most `limit` of the bytes already received, never waiting for more.
  virtual uint32_t Read(uint8_t* buffer, uint32_t limit) = 0;
  virtual bool IsOpen() const = 0;
};

// Makes closed devices of one backend; each channel owns the device it was given.
class SerialDeviceFactory {
 public:
  virtual ~SerialDeviceFactory() = default;
  virtual std::unique_ptr<SerialDevice> CreateSerialDevice() = 0;
};

}  // namespace flotilla::platform
