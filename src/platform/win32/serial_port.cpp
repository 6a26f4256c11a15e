// The Windows serial device: overlapped I/O only to bound every wait; reads never block.
#include "platform/win32/serial_port.h"

#include <cstdio>
#include <cstring>

namespace flotilla::platform {
namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0F
constexpr DWORD kPurgeTransmit = PURGE_TXABORT | PURGE_TXCLEAR;                              // 0x05
constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK;  // 0x78
constexpr DWORD kWriteWaitMs = 10000;
constexpr DWORD kReadWaitMs = 2000;

}  // namespace

Win32SerialPort::Win32SerialPort()
    : handle_(nullptr), read_event_(nullptr), write_event_(nullptr), open_(0) {
  std::memset(&read_overlapped_, 0, sizeof read_overlapped_);
  std::memset(&write_overlapped_, 0, sizeof write_overlapped_);
}

Win32SerialPort::~Win32SerialPort() { Close(); }

void Win32SerialPort::ReleaseHandles() {
  if (read_event_) CloseHandle(read_event_);
  if (write_event_) CloseHandle(write_event_);
  if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  read_event_ = write_event_ = nullptr;
  read_overlapped_.hEvent = write_overlapped_.hEvent = nullptr;
  handle_ = nullptr;
}

bool Win32SerialPort::Open(int port, uint32_t baud, int data_bits, int stop_bits) {
  if (open_) return true;  // an open port keeps its settings; a new baud rate needs Close

  // "\\.\" reaches COM10 and above, which the plain "COMn" names do not.
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  handle_ = handle;

  // All-ones read interval and multiplier with a constant: a read returns at once with
  // whatever is queued.
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 30000;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 50;

  std::memset(&read_overlapped_, 0, sizeof read_overlapped_);
  std::memset(&write_overlapped_, 0, sizeof write_overlapped_);
  read_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  write_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  read_overlapped_.hEvent = read_event_;
  write_overlapped_.hEvent = write_event_;

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  char mode[64];
  std::snprintf(mode, sizeof mode, "COM%d: %d, n, %d, %d", port, static_cast<int>(baud), data_bits,
                stop_bits);
  (void)GetCommState(handle_, &dcb);
  (void)BuildCommDCBA(mode, &dcb);

  bool configured = SetCommState(handle_, &dcb) && SetupComm(handle_, kQueueBytes, kQueueBytes) &&
                    SetCommMask(handle_, kEventMask) && SetCommTimeouts(handle_, &timeouts) &&
                    read_event_ != nullptr && write_event_ != nullptr;
  if (!configured) {
    ReleaseHandles();
    return false;
  }
  open_ = 1;
  PurgeComm(handle_, kPurgeAll);
  return true;
}

bool Win32SerialPort::Close() {
  if (!open_ || handle_ == nullptr) return true;
  PurgeComm(handle_, kPurgeAll);
  ReleaseHandles();
  open_ = 0;
  return true;
}

uint32_t Win32SerialPort::Write(const uint8_t* data, uint32_t count) {
  return WriteAfterPurge(kPurgeAll, data, count);
}

uint32_t Win32SerialPort::WriteStream(const uint8_t* data, uint32_t count) {
  return WriteAfterPurge(kPurgeTransmit, data, count);
}

uint32_t Win32SerialPort::WriteAfterPurge(DWORD purge_flags, const uint8_t* data, uint32_t count) {
  if (!open_) return 0;
  PurgeComm(handle_, purge_flags);
  ResetEvent(write_event_);
  DWORD written = 0;
  if (WriteFile(handle_, data, count, &written, &write_overlapped_)) return written;
  if (GetLastError() != ERROR_IO_PENDING) return written;
  if (WaitForSingleObject(write_event_, kWriteWaitMs) != WAIT_OBJECT_0) {
    // Not sent within the bound: abandon the write so the record is free for the next one.
    CancelIo(handle_);
    GetOverlappedResult(handle_, &write_overlapped_, &written, TRUE);
    return 0;
  }
  written = 0;
  if (!GetOverlappedResult(handle_, &write_overlapped_, &written, FALSE)) return 0;
  return written;
}

uint32_t Win32SerialPort::BytesWaiting() {
  if (!open_) return 0;
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!ClearCommError(handle_, &errors, &status)) return 0;
  return status.cbInQue;
}

uint32_t Win32SerialPort::Read(uint8_t* buffer, uint32_t limit) {
  if (!open_) return 0;
  uint32_t queued = BytesWaiting();
  if (queued == 0 || limit == 0) return 0;
  DWORD wanted = queued < limit ? queued : limit;
  ResetEvent(read_event_);
  DWORD got = 0;
  if (ReadFile(handle_, buffer, wanted, &got, &read_overlapped_)) return got;
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  if (WaitForSingleObject(read_event_, kReadWaitMs) != WAIT_OBJECT_0) {
    // The buffer must not be written after we return: cancel and settle the read. Bytes that
    // arrived before the cancel took effect are in the buffer and gone from the driver, so
    // they are handed on rather than lost.
    CancelIo(handle_);
    got = 0;
    GetOverlappedResult(handle_, &read_overlapped_, &got, TRUE);
    return got <= wanted ? got : 0;
  }
  got = 0;
  if (!GetOverlappedResult(handle_, &read_overlapped_, &got, FALSE)) return 0;
  return got;
}

}  // namespace flotilla::platform
