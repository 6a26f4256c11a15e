// The POSIX serial device: termios in raw mode, non-blocking reads, writes bounded by poll,
// made to behave as the Windows one does (exclusive open, the same write bound, no settings
// quietly replaced).
#include "platform/posix/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace flotilla::platform {
namespace {

// The Windows port gives a write 1 ms per byte plus 50 ms before it stops it.
constexpr int kWriteMsPerByte = 1;
constexpr int kWriteConstantMs = 50;

// False for a speed the tty cannot be set to.
bool SpeedOf(uint32_t baud, speed_t& speed) {
  switch (baud) {
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    case 57600: speed = B57600; return true;
    case 115200: speed = B115200; return true;
    case 230400: speed = B230400; return true;
    case 460800: speed = B460800; return true;
    case 921600: speed = B921600; return true;
    default: return false;
  }
}

bool SizeOf(int data_bits, tcflag_t& size) {
  switch (data_bits) {
    case 5: size = CS5; return true;
    case 6: size = CS6; return true;
    case 7: size = CS7; return true;
    case 8: size = CS8; return true;
    default: return false;
  }
}

bool Configure(int fd, uint32_t baud, int data_bits, int stop_bits) {
  speed_t speed;
  tcflag_t size;
  if (!SpeedOf(baud, speed) || !SizeOf(data_bits, size) || (stop_bits != 1 && stop_bits != 2))
    return false;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag |= size;
  if (stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
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
  // A COM port opens for one owner at a time; the lock binds root too, unlike TIOCEXCL.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !Configure(fd, baud, data_bits, stop_bits)) {
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
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(kWriteConstantMs + kWriteMsPerByte * static_cast<int64_t>(count));
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
    if (left.count() <= 0) return done;  // as on Windows: what went out before the bound
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
