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
#include "pty_client.h"

namespace flotilla {
namespace {

using test::Exists;
using test::ReadyValue;
using test::WaitFor;
using Port = test::PtyClient;

std::vector<uint8_t> EsnOver(Port& diag) { return diag.Exchange(protocol::PacketMode::Diag, {0x01}); }

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
