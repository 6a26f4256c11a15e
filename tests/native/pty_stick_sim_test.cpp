// The real stick-sim program over pseudo-terminals, from a POSIX serial client: the AT
// answers as any terminal program would see them, and the capture of the exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/port_map.h"
#include "platform/posix/serial_port.h"
#include "protocol/at_channel.h"

namespace flotilla {
namespace {

constexpr int kAtPort = 21;
constexpr int kDiagPort = 22;

class PtyStickSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("FLOTILLA_SIM_DIR");
    if (!dir) GTEST_SKIP() << "FLOTILLA_SIM_DIR not set: run through ctest, which starts stick-sim";
    dir_ = dir;
    ports_.Set(kAtPort, dir_ + "/at");
    ports_.Set(kDiagPort, dir_ + "/diag");
    channel_ = std::make_unique<protocol::AtChannel>(
        std::make_unique<platform::PosixSerialPort>(ports_), platform::SystemClock());
    ASSERT_TRUE(channel_->Port().Open(kAtPort));
    channel_->SetReplyTimeout(protocol::AtChannel::kLineReplyTimeoutMs);
    channel_->SetAttempts(protocol::AtChannel::kLineAttempts);
  }

  std::string dir_;
  platform::PortMap ports_;
  std::unique_ptr<protocol::AtChannel> channel_;
};

TEST_F(PtyStickSimTest, APortOpensForOneOwnerAndOnlyWithSettingsItCanHave) {
  // The fixture holds the AT port, as a COM port is held on Windows.
  platform::PosixSerialPort second(ports_);
  EXPECT_FALSE(second.Open(kAtPort, 115200, 8, 1));
  struct Case {
    uint32_t baud;
    int data_bits;
    int stop_bits;
    bool opens;
  } cases[] = {
      {115200, 8, 1, true}, {9600, 7, 2, true}, {12345, 8, 1, false}, {115200, 9, 1, false},
      {115200, 4, 1, false}, {115200, 8, 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.data_bits) + " " +
                 std::to_string(c.stop_bits));
    platform::PosixSerialPort diag(ports_);
    EXPECT_EQ(diag.Open(kDiagPort, c.baud, c.data_bits, c.stop_bits), c.opens);
  }
}

TEST_F(PtyStickSimTest, AnswersInTheSticksReplyForms) {
  std::string line;
  ASSERT_TRUE(channel_->ReadFirmwareVersion(line));
  EXPECT_EQ(line, "TEST_FW_1.2.3");
  EXPECT_EQ(channel_->LastReply(), "AT+GMR\r\r\nTEST_FW_1.2.3\r\n\r\nOK\r\n");

  EXPECT_TRUE(channel_->SetDiagMode(6));
  EXPECT_EQ(channel_->LastReply(), "AT+ZDIAG=6\r\r\nOK\r\n");
  EXPECT_EQ(channel_->QueryDiagMode(), 6);
  EXPECT_EQ(channel_->LastReply(), "AT+ZDIAG?\r\r\n+ZDIAG: 6\r\n\r\nOK\r\n");
  EXPECT_TRUE(protocol::DisableDiagPort(*channel_));

  EXPECT_FALSE(channel_->Command("AT+NOPE", line));
  EXPECT_EQ(line, "ERROR");
  EXPECT_EQ(channel_->LastReply(), "AT+NOPE\r\r\nERROR\r\n");
}

TEST_F(PtyStickSimTest, TheDiagPortTakesFramesAndTheCaptureRecordsBothPorts) {
  platform::PosixSerialPort diag(ports_);
  ASSERT_TRUE(diag.Open(kDiagPort, 115200, 8, 1));
  const uint8_t version_request[] = {0x00, 0x78, 0xF0, 0x7E};
  ASSERT_EQ(diag.Write(version_request, sizeof version_request), sizeof version_request);
  std::string line;
  // The log may hold earlier runs of this stick: what this reset logs comes after here.
  std::ifstream before(dir_ + "/sim.log", std::ios::ate);
  const auto log_start = static_cast<size_t>(std::max<std::streamoff>(0, before.tellg()));
  ASSERT_TRUE(channel_->Command("AT+ZRST", line));  // by now the DIAG bytes were taken too

  std::ifstream capture(dir_ + "/capture.txt");
  std::stringstream text;
  text << capture.rdbuf();
  EXPECT_NE(text.str().find(" diag h2d 0078f07e\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find(" at h2d 41542b5a5253540d\n"), std::string::npos);
  EXPECT_NE(text.str().find(" at d2h 41542b5a5253540d0d0a4f4b0d0a\n"), std::string::npos);

  std::ifstream log(dir_ + "/sim.log");
  std::stringstream log_text;
  log_text << log.rdbuf();
  EXPECT_NE(log_text.str().find("diag: request 00\n"), std::string::npos) << log_text.str();

  // The reset takes the stick away for a while; the tests after this one share it, so it has
  // to be back (its ports announced again after they went) before this test ends.
  bool back = false;
  for (int i = 0; i < 200 && !back; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream again(dir_ + "/sim.log");
    std::stringstream now;
    now << again.rdbuf();
    const size_t gone = now.str().find("ports gone", log_start);
    back = gone != std::string::npos && now.str().find("stick-sim: at ", gone) != std::string::npos;
  }
  EXPECT_TRUE(back) << "the stick did not come back after its reset";
}

}  // namespace
}  // namespace flotilla
