// AtChannel over a Wine COM port against stick-sim, on the system clock.
#include "protocol/at_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/win32/serial_port.h"
#include "wine_test_env.h"

namespace flotilla::protocol {
namespace {

class Win32AtChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int com = test::AtCom();
    if (com == 0) GTEST_SKIP() << "FLOTILLA_AT_COM not set: run through ctest";
    ASSERT_TRUE(channel_.Port().Open(com));
    channel_.SetReplyTimeout(AtChannel::kLineReplyTimeoutMs);
    channel_.SetAttempts(AtChannel::kLineAttempts);
  }

  AtChannel channel_{std::make_unique<platform::Win32SerialPort>(), platform::SystemClock()};
};

TEST_F(Win32AtChannelTest, ReadsTheFirmwareVersion) {
  std::string version;
  ASSERT_TRUE(channel_.ReadFirmwareVersion(version));
  EXPECT_EQ(version, "WINE_FW_4.5.6");
}

TEST_F(Win32AtChannelTest, SwitchesTheDiagnosticsInterface) {
  ASSERT_TRUE(channel_.SetDiagMode(0));
  EXPECT_EQ(channel_.QueryDiagMode(), 0);
  EXPECT_TRUE(channel_.SetDiagMode(6));
  EXPECT_EQ(channel_.QueryDiagMode(), 6);
  EXPECT_TRUE(EnsureDiagPort(channel_));
  EXPECT_TRUE(DisableDiagPort(channel_));
}

TEST_F(Win32AtChannelTest, AnUnknownCommandIsAnError) {
  std::string line;
  EXPECT_FALSE(channel_.Command("AT+WHATEVER", line));
  EXPECT_EQ(line, "ERROR");
}

}  // namespace
}  // namespace flotilla::protocol
