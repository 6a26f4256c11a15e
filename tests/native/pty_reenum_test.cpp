// The real stick-sim program over pseudo-terminals: a DIAG exchange, and a reset after which
// the ports, their links and the ready file vanish and come back as new pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/framing.h"

namespace flotilla {
namespace {

// Generous bounds for a loaded machine; every wait ends as soon as its condition holds.
constexpr auto kPatience = std::chrono::seconds(10);

bool WaitFor(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string ReadyValue(const std::string& ready, const std::string& name) {
  std::ifstream in(ready);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

// One end of the stick's port as any serial client opens it.
class Port {
 public:
  explicit Port(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Port() {
    if (fd_ >= 0) ::close(fd_);
  }
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
  std::string Command(const std::string& line) {
    if (!Send(std::vector<uint8_t>(line.begin(), line.end()))) return "";
    auto got = ReadUntil([](const std::vector<uint8_t>& g) {
      const std::string s(g.begin(), g.end());
      return s.find("OK\r\n") != std::string::npos || s.find("ERROR\r\n") != std::string::npos;
    });
    return std::string(got.begin(), got.end());
  }

 private:
  int fd_;
};

std::vector<uint8_t> EsnOver(Port& diag) {
  const uint8_t request[] = {0x01};
  std::vector<uint8_t> frame(protocol::MaxFrameLength(1));
  frame.resize(protocol::FramePacket(protocol::PacketMode::Diag, request, 1, frame.data(), frame.size()));
  if (!diag.Send(frame)) return {};
  auto reply = diag.ReadUntil([](const std::vector<uint8_t>& g) { return !g.empty() && g.back() == protocol::kFlag; });
  size_t length = reply.size();
  if (protocol::UnframeInPlace(protocol::PacketMode::Diag, reply.data(), length, reply.size()) !=
      protocol::UnframeStatus::Ok || length < 2)
    return {};
  reply.resize(length - 2);
  return reply;
}

class PtyReenumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("FLOTILLA_REENUM_SIM_DIR");
    if (!dir) GTEST_SKIP() << "FLOTILLA_REENUM_SIM_DIR not set: run through ctest, which starts stick-sim";
    dir_ = dir;
    ASSERT_TRUE(WaitFor([&] { return Exists(dir_ + "/ready"); }));
  }
  std::string dir_;
};

TEST_F(PtyReenumTest, AResetRenewsBothPortsAndTheirLinks) {
  const std::string ready = dir_ + "/ready";
  const std::string old_at = ReadyValue(ready, "at");
  {
    Port diag(dir_ + "/diag");
    ASSERT_TRUE(diag.Ok());
    auto esn = EsnOver(diag);
    ASSERT_EQ(esn.size(), 5u);
    EXPECT_EQ(protocol::ReadLe32(esn.data() + 1), 0x12345678u);

    Port at(dir_ + "/at");
    ASSERT_TRUE(at.Ok());
    EXPECT_EQ(at.Command("AT+ZRST\r"), "AT+ZRST\r\r\nOK\r\n");
    ASSERT_TRUE(WaitFor([&] { return !Exists(ready); })) << "the ports never went";
    EXPECT_FALSE(Exists(dir_ + "/at"));
    EXPECT_FALSE(Exists(dir_ + "/diag"));
    ASSERT_TRUE(WaitFor([&] { return Exists(ready); })) << "the ports never came back";
    // The old handles are held open here, so the new ports cannot reuse their terminals.
    EXPECT_NE(ReadyValue(ready, "at"), old_at);
  }
  char target[256] = {};
  ASSERT_GT(::readlink((dir_ + "/at").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), ReadyValue(ready, "at"));
  Port at(dir_ + "/at");
  ASSERT_TRUE(at.Ok());
  EXPECT_EQ(at.Command("AT+GMR\r").substr(0, 9), "AT+GMR\r\r\n");
  Port diag(dir_ + "/diag");
  ASSERT_TRUE(diag.Ok());
  EXPECT_EQ(EsnOver(diag).size(), 5u);
}

}  // namespace
}  // namespace flotilla
