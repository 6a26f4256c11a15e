// A serial client of stick-sim's pseudo-terminals for the tests that run the real program:
// raw reads and writes, AT commands, framed exchanges, and patient waits.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/framing.h"

namespace flotilla::test {

// Generous bounds for a loaded machine; every wait ends as soon as its condition holds.
constexpr auto kPatience = std::chrono::seconds(10);

inline bool WaitFor(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A value of stick-sim's ready file ("at", "diag", "pid").
inline std::string ReadyValue(const std::string& ready, const std::string& name) {
  std::ifstream in(ready);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

// One end of the stick's port as any serial client opens it.
class PtyClient {
 public:
  explicit PtyClient(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~PtyClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool Ok() const { return fd_ >= 0; }
  bool Send(const std::vector<uint8_t>& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `done` holds for what has arrived, or patience runs out.
  std::vector<uint8_t> ReadUntil(const std::function<bool(const std::vector<uint8_t>&)>& done) {
    std::vector<uint8_t> got;
    WaitFor([&] {
      uint8_t buffer[512];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
      return done(got);
    });
    return got;
  }
  // An AT command line (with its CR); the reply up to its final result code.
  std::string Command(const std::string& line) {
    if (!Send(std::vector<uint8_t>(line.begin(), line.end()))) return "";
    auto got = ReadUntil([](const std::vector<uint8_t>& g) {
      const std::string s(g.begin(), g.end());
      return s.find("OK\r\n") != std::string::npos || s.find("ERROR\r\n") != std::string::npos;
    });
    return std::string(got.begin(), got.end());
  }
  // Sends a packet framed for `mode` and returns the reply packet (without FCS); empty when
  // none came or it did not unframe. Replies outside the firmware must open with a flag.
  std::vector<uint8_t> Exchange(protocol::PacketMode mode, const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
    frame.resize(protocol::FramePacket(mode, packet.data(), packet.size(), frame.data(), frame.size()));
    if (!Send(frame)) return {};
    const size_t flags = protocol::HasLeadingFlag(mode) ? 2 : 1;
    auto got = ReadUntil([&](const std::vector<uint8_t>& g) {
      return static_cast<size_t>(std::count(g.begin(), g.end(), protocol::kFlag)) >= flags;
    });
    if (got.empty() || (protocol::HasLeadingFlag(mode) && got[0] != protocol::kFlag)) return {};
    size_t length = got.size();
    got.push_back(0);
    if (protocol::UnframeInPlace(mode, got.data(), length, got.size()) != protocol::UnframeStatus::Ok ||
        length < 3)
      return {};
    got.resize(length - 2);
    return got;
  }

 private:
  int fd_;
};

}  // namespace flotilla::test
