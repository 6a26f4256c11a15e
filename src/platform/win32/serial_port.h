// The Windows serial device: a COM port opened for overlapped I/O.
#pragma once

#include <windows.h>

#include "platform/serial_device.h"

namespace flotilla::platform {

class Win32SerialPort : public SerialDevice {
 public:
  Win32SerialPort();
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool Open(int port, uint32_t baud, int data_bits, int stop_bits) override;
  bool Close() override;
  uint32_t Write(const uint8_t* data, uint32_t count) override;
  uint32_t WriteStream(const uint8_t* data, uint32_t count) override;
  uint32_t BytesWaiting() override;
  uint32_t Read(uint8_t* buffer, uint32_t limit) override;
  bool IsOpen() const override { return open_ != 0; }

  // The OS handle while open, for callers that need to inspect the port's state.
  HANDLE native_handle() const { return handle_; }

 private:
  uint32_t WriteAfterPurge(DWORD purge_flags, const uint8_t* data, uint32_t count);
  void ReleaseHandles();

  HANDLE handle_;
  OVERLAPPED read_overlapped_;
  HANDLE read_event_;
  OVERLAPPED write_overlapped_;
  HANDLE write_event_;
  int open_;
};

class Win32SerialFactory : public SerialDeviceFactory {
 public:
  std::unique_ptr<SerialDevice> CreateSerialDevice() override {
    return std::make_unique<Win32SerialPort>();
  }
};

}  // namespace flotilla::platform
