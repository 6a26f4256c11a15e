// AtChannel: reply parsing, attempts and time-outs on the virtual clock, and the stick's
// commands against the in-process simulated stick.
#include "protocol/at_channel.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "platform/virtual_clock.h"
#include "scripted_device.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::protocol {
namespace {

using test::ScriptedDevice;
using test::ScriptedReply;

class AtChannelScriptTest : public ::testing::Test {
 protected:
  AtChannelScriptTest()
      : channel_(std::make_unique<ScriptedDevice>(clock_, script_), clock_) {
    channel_.Port().Open(1);
  }

  uint64_t SleptMs() const {
    const auto& s = clock_.Sleeps();
    return std::accumulate(s.begin(), s.end(), uint64_t{0});
  }

  platform::VirtualClock clock_;
  ScriptedDevice::Script script_;
  AtChannel channel_;
};

TEST_F(AtChannelScriptTest, ParsesTheFirstReplyLine) {
  struct Case {
    const char* name;
    std::string reply;
    bool ok;
    const char* line;  // nullptr: the output is left as it was
  } cases[] = {
      {"answer after the echo", "AT+GMR\r\r\nBD_V1.0\r\n\r\nOK\r\n", true, "BD_V1.0"},
      {"only OK", "AT+ZRST\r\r\nOK\r\n", true, "OK"},
      {"ERROR", "\r\nERROR\r\n", false, "ERROR"},
      {"error in any case", "\r\nError\r\n", false, "Error"},
      {"OK without its closing pair", "\r\nOK", false, nullptr},
      {"no line at all", "garbage", false, nullptr},
      {"a bare CR is no line break", "\r\rOK\r\n", false, nullptr},
      {"empty first line", "\r\n\r\nOK\r\n", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script_.replies.push_back({30, c.reply});
    std::string line = "untouched";
    EXPECT_EQ(channel_.Command("AT+X", line), c.ok);
    EXPECT_EQ(line, c.line ? c.line : "untouched");
  }
}

TEST_F(AtChannelScriptTest, SendsTheCommandWithACarriageReturn) {
  script_.replies.push_back({10, "\r\nOK\r\n"});
  std::string line;
  ASSERT_TRUE(channel_.Command("AT+ZCDRUN=F", line));
  EXPECT_EQ(channel_.LastCommand(), "AT+ZCDRUN=F\r");
  EXPECT_EQ(channel_.LastReply(), "\r\nOK\r\n");
}

TEST_F(AtChannelScriptTest, ReadsAtMost256BytesOfAReply) {
  std::string reply = "\r\n" + std::string(300, 'v') + "\r\n";
  script_.replies.push_back({10, reply});
  std::string line;
  EXPECT_FALSE(channel_.Command("AT+GMR", line));  // the line's end was cut off
  EXPECT_EQ(channel_.LastReply().size(), AtChannel::kMaxReplyBytes);

  script_.replies.push_back({10, "\r\n" + std::string(252, 'v') + "\r\n"});
  EXPECT_TRUE(channel_.Command("AT+GMR", line));
  EXPECT_EQ(line.size(), 252u);
}

TEST_F(AtChannelScriptTest, GivesUpAfterEveryAttemptTimesOut) {
  struct Case {
    uint32_t timeout_ms;
    int attempts;
    uint64_t expected_ms;  // 200 ms polling passes until the time-out is exceeded, per attempt
  } cases[] = {{1000, 2, 2 * 1200}, {5000, 3, 3 * 5200}, {150, 1, 200}, {0, 4, 4 * 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout_ms);
    clock_.ClearSleeps();
    script_.writes = 0;
    channel_.SetReplyTimeout(c.timeout_ms);
    ASSERT_TRUE(channel_.SetAttempts(c.attempts));
    std::string line = "untouched";
    EXPECT_FALSE(channel_.Command("AT+GMR", line));
    EXPECT_EQ(line, "untouched");
    EXPECT_EQ(script_.writes, c.attempts);
    EXPECT_EQ(SleptMs(), c.expected_ms);
    for (uint32_t s : clock_.Sleeps()) EXPECT_EQ(s, 100u);
  }
}

TEST_F(AtChannelScriptTest, AnswersOnTheSecondAttempt) {
  channel_.SetReplyTimeout(1000);
  channel_.SetAttempts(2);
  script_.replies.push_back({0, ""});
  script_.replies.push_back({50, "AT+GMR\r\r\nFW2\r\n\r\nOK\r\n"});
  std::string version;
  EXPECT_TRUE(channel_.ReadFirmwareVersion(version));
  EXPECT_EQ(version, "FW2");
  EXPECT_EQ(script_.writes, 2);
  EXPECT_EQ(SleptMs(), 1200u + 200u);
}

TEST_F(AtChannelScriptTest, AWriteThatDoesNotCompleteIsRetriedWithoutWaiting) {
  script_.short_writes = true;
  std::string line;
  EXPECT_FALSE(channel_.Command("AT+GMR", line));
  EXPECT_EQ(script_.writes, AtChannel::kDefaultAttempts);
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(AtChannelScriptTest, QueryDiagModeReadsTheDigitAfterThePrefix) {
  struct Case {
    const char* reply;
    int mode;
  } cases[] = {
      {"AT+ZDIAG?\r\r\n+ZDIAG: 6\r\n\r\nOK\r\n", 6},
      {"AT+ZDIAG?\r\r\n+ZDIAG: 0\r\n\r\nOK\r\n", 0},
      {"AT+ZDIAG?\r\r\n+ZDIAG: 42\r\n\r\nOK\r\n", 4},
      {"AT+ZDIAG?\r\r\n+ZDIAG: x\r\n\r\nOK\r\n", 0},
      {"AT+ZDIAG?\r\r\n+ZDIAG:\r\n\r\nOK\r\n", 0},
      {"\r\nERROR\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    script_.replies.push_back({20, c.reply});
    EXPECT_EQ(channel_.QueryDiagMode(), c.mode);
  }
}

TEST(AtChannelSettings, ClampsTheTimeoutAndRefusesBadAttemptCounts) {
  platform::VirtualClock clock;
  AtChannel channel(nullptr, clock);
  EXPECT_EQ(channel.ReplyTimeout(), 5000u);
  EXPECT_EQ(channel.Attempts(), 3);
  channel.SetReplyTimeout(8000);
  EXPECT_EQ(channel.ReplyTimeout(), 5000u);
  channel.SetReplyTimeout(1000);
  EXPECT_EQ(channel.ReplyTimeout(), 1000u);
  for (int bad : {0, 10, -1}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(channel.SetAttempts(bad));
    EXPECT_EQ(channel.Attempts(), 3);
  }
  EXPECT_TRUE(channel.SetAttempts(1));
  EXPECT_TRUE(channel.SetAttempts(9));
  EXPECT_EQ(channel.Attempts(), 9);
}

TEST(AtChannelSettings, AChannelWithoutAPortFailsCleanly) {
  platform::VirtualClock clock;
  AtChannel channel(nullptr, clock);
  std::string line = "untouched";
  EXPECT_FALSE(channel.Command("AT+GMR", line));
  EXPECT_EQ(channel.QueryDiagMode(), 0);
  EXPECT_EQ(line, "untouched");
}

// The same channel against the simulated stick's AT port.
class AtChannelStickTest : public ::testing::Test {
 protected:
  AtChannelStickTest() : stick_(clock_, Config()), channel_(stick_.CreateSerialDevice(), clock_) {
    stick_.SetPortNumbers(3, 4);
    EXPECT_TRUE(channel_.Port().Open(3));
    channel_.SetReplyTimeout(AtChannel::kLineReplyTimeoutMs);
    channel_.SetAttempts(AtChannel::kLineAttempts);
  }
  static sim::StickConfig Config() {
    sim::StickConfig config;
    config.firmware_version = "BD_XV418V1.0.0B07";
    return config;
  }

  platform::VirtualClock clock_;
  sim::InProcessStick stick_;
  AtChannel channel_;
};

TEST_F(AtChannelStickTest, ReadsTheFirmwareVersion) {
  std::string version;
  ASSERT_TRUE(channel_.ReadFirmwareVersion(version));
  EXPECT_EQ(version, "BD_XV418V1.0.0B07");
  // Two equal counts 100 ms apart: a command costs at least 200 ms.
  EXPECT_GE(clock_.NowMs(), 200u);
}

TEST_F(AtChannelStickTest, SwitchesTheDiagnosticsPort) {
  EXPECT_EQ(channel_.QueryDiagMode(), 0);
  EXPECT_TRUE(EnsureDiagPort(channel_));
  EXPECT_EQ(stick_.Model().Firmware().diag_mode, 6);
  EXPECT_EQ(channel_.QueryDiagMode(), 6);
  EXPECT_TRUE(EnsureDiagPort(channel_));  // already on: only a query
  EXPECT_EQ(channel_.LastCommand(), "AT+ZDIAG?\r");
  EXPECT_TRUE(DisableDiagPort(channel_));
  EXPECT_EQ(channel_.QueryDiagMode(), 0);
}

TEST_F(AtChannelStickTest, UnknownCommandsAnswerError) {
  std::string line;
  EXPECT_FALSE(channel_.Command("AT+BOGUS", line));
  EXPECT_EQ(line, "ERROR");
  EXPECT_EQ(channel_.LastReply(), "AT+BOGUS\r\r\nERROR\r\n");
  for (const char* ok : {"AT+ZRST", "AT+ZCDRUN=F", "AT+ZCDRUN=9"}) {
    SCOPED_TRACE(ok);
    EXPECT_TRUE(channel_.Command(ok, line));
    EXPECT_EQ(line, "OK");
  }
  EXPECT_EQ(stick_.Model().Firmware().reset_count, 1);
}

TEST(AtChannelSlowLink, WaitsUntilATricklingReplyHasSettled) {
  // 40 bytes per second: the 31-byte reply takes most of a second to arrive, so the input
  // count grows between the polls and the channel must keep waiting.
  platform::VirtualClock clock;
  sim::LinkModel slow;
  slow.bytes_per_second = 40;
  sim::StickConfig config;
  config.firmware_version = "SLOW_1.0";
  sim::InProcessStick stick(clock, config, slow);
  stick.SetPortNumbers(3, 4);
  AtChannel channel(stick.CreateSerialDevice(), clock);
  ASSERT_TRUE(channel.Port().Open(3));
  std::string version;
  ASSERT_TRUE(channel.ReadFirmwareVersion(version));
  EXPECT_EQ(version, "SLOW_1.0");
  EXPECT_EQ(channel.LastReply(), "AT+GMR\r\r\nSLOW_1.0\r\n\r\nOK\r\n");
  EXPECT_GE(clock.NowMs(), 31u * 1000 / 40);
}

}  // namespace
}  // namespace flotilla::protocol
