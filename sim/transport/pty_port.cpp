// Pseudo-terminal ports of the simulated stick.
#include "sim/transport/pty_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace flotilla::sim {

bool PtyPort::Create(std::string& error) {
  Destroy();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    Destroy();
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    error = "cannot name the pseudo-terminal";
    Destroy();
    return false;
  }
  slave_path_ = name;
  slave_keepalive_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_keepalive_ < 0) {
    error = "cannot open " + slave_path_ + ": " + std::strerror(errno);
    Destroy();
    return false;
  }
  // Raw: no echo of the stick's own replies back to it, no line editing, no CR/LF mapping.
  termios tio{};
  tcgetattr(slave_keepalive_, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(slave_keepalive_, TCSANOW, &tio);
  return true;
}

bool PtyPort::AddLink(const std::string& link, std::string& error) {
  ::unlink(link.c_str());
  if (::symlink(slave_path_.c_str(), link.c_str()) != 0) {
    error = "cannot link " + link + ": " + std::strerror(errno);
    return false;
  }
  links_.push_back(link);
  return true;
}

void PtyPort::Destroy() {
  for (const auto& link : links_) ::unlink(link.c_str());
  links_.clear();
  if (slave_keepalive_ >= 0) ::close(slave_keepalive_);
  if (master_ >= 0) ::close(master_);
  slave_keepalive_ = master_ = -1;
  slave_path_.clear();
}

}  // namespace flotilla::sim
