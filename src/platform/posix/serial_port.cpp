// The POSIX serial device: termios in raw mode, non-blocking reads, writes bounded by poll.
#include "platform/posix/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace flotilla::platform {
namespace {

constexpr int kWriteWaitMs = 10000;

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
  }
}

bool Configure(int fd, uint32_t baud, int data_bits, int stop_bits) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag |= data_bits == 7 ? CS7 : CS8;
  if (stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, SpeedOf(baud));
  cfsetospeed(&tio, SpeedOf(baud));
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

PosixSerialPort::~PosixSerialPort() { Close(); }

bool PosixSerialPort::Open(int port, uint32_t baud, int data_bits, int stop_bits) {
  if (fd_ >= 0) return true;
  auto path = ports_.PathOf(port);
  if (!path) return false;
  int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  if (!Configure(fd, baud, data_bits, stop_bits)) {
    ::close(fd);
    return false;
  }
  tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return true;
}

bool PosixSerialPort::Close() {
  if (fd_ < 0) return true;
  tcflush(fd_, TCIOFLUSH);
  ::close(fd_);
  fd_ = -1;
  return true;
}

uint32_t PosixSerialPort::WriteAll(const uint8_t* data, uint32_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMs);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, data + done, count - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;  // not sent within the bound counts as not sent
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return done;
}

uint32_t PosixSerialPort::Write(const uint8_t* data, uint32_t count) {
  if (fd_ < 0) return 0;
  tcflush(fd_, TCIOFLUSH);
  return WriteAll(data, count);
}

uint32_t PosixSerialPort::WriteStream(const uint8_t* data, uint32_t count) {
  if (fd_ < 0) return 0;
  tcflush(fd_, TCOFLUSH);
  return WriteAll(data, count);
}

uint32_t PosixSerialPort::BytesWaiting() {
  if (fd_ < 0) return 0;
  int queued = 0;
  if (ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
  return static_cast<uint32_t>(queued);
}

uint32_t PosixSerialPort::Read(uint8_t* buffer, uint32_t limit) {
  if (fd_ < 0 || limit == 0) return 0;
  uint32_t queued = BytesWaiting();
  if (queued == 0) return 0;
  ssize_t n = ::read(fd_, buffer, queued < limit ? queued : limit);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

}  // namespace flotilla::platform
