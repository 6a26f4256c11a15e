// The Win32 serial device on a COM port that Wine maps to stick-sim's AT pty.
#include "platform/win32/serial_port.h"

#include <gtest/gtest.h>

#include <string>

#include "wine_test_env.h"

namespace flotilla::platform {
namespace {

class Win32SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com_ = test::AtCom();
    if (com_ == 0) GTEST_SKIP() << "FLOTILLA_AT_COM not set: run through ctest";
    ASSERT_TRUE(port_.Open(com_, 115200, 8, 1));
  }

  uint32_t Send(bool stream, const std::string& text) {
    auto data = reinterpret_cast<const uint8_t*>(text.data());
    auto n = static_cast<uint32_t>(text.size());
    return stream ? port_.WriteStream(data, n) : port_.Write(data, n);
  }

  // Asks the stick for its version and waits until the whole answer is queued.
  uint32_t QueueAnAnswer() {
    EXPECT_EQ(Send(true, "AT+GMR\r"), 7u);
    uint32_t last = 0;
    for (int i = 0; i < 50; ++i) {
      Sleep(100);
      uint32_t now = port_.BytesWaiting();
      if (now > 0 && now == last) return now;
      last = now;
    }
    return last;
  }

  int com_ = 0;
  Win32SerialPort port_;
};

TEST_F(Win32SerialPortTest, OpeningAMissingPortFailsAndHoldsNothing) {
  DWORD handles_before = 0, handles_after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles_before);
  Win32SerialPort missing;
  EXPECT_FALSE(missing.Open(97, 115200, 8, 1));
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.native_handle(), nullptr);
  GetProcessHandleCount(GetCurrentProcess(), &handles_after);
  EXPECT_EQ(handles_after, handles_before);
  EXPECT_EQ(missing.BytesWaiting(), 0u);
}

TEST_F(Win32SerialPortTest, OpeningTwiceKeepsTheSettings) {
  EXPECT_TRUE(port_.Open(com_, 9600, 7, 2));
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port_.native_handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.Parity, NOPARITY);

  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port_.native_handle(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 30000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 50u);
}

TEST_F(Win32SerialPortTest, WriteStreamKeepsEarlierInputWriteDiscardsIt) {
  uint32_t queued = QueueAnAnswer();
  ASSERT_GT(queued, 0u);
  EXPECT_EQ(Send(true, "\r"), 1u);  // an empty line: the stick stays silent
  Sleep(200);
  EXPECT_EQ(port_.BytesWaiting(), queued);
  EXPECT_EQ(Send(false, "\r"), 1u);
  Sleep(200);
  EXPECT_EQ(port_.BytesWaiting(), 0u);
}

TEST_F(Win32SerialPortTest, ReadWithASmallerLimitLeavesTheRestQueued) {
  uint32_t queued = QueueAnAnswer();
  ASSERT_GT(queued, 4u);
  uint8_t buffer[512] = {};
  EXPECT_EQ(port_.Read(buffer, 4), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "AT+G");
  EXPECT_EQ(port_.BytesWaiting(), queued - 4);
  EXPECT_EQ(port_.Read(buffer, sizeof buffer), queued - 4);
  EXPECT_EQ(port_.Read(buffer, sizeof buffer), 0u);
}

TEST_F(Win32SerialPortTest, AClosedPortReadsNothing) {
  QueueAnAnswer();
  EXPECT_TRUE(port_.Close());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(port_.native_handle(), nullptr);
  uint8_t buffer[16];
  EXPECT_EQ(port_.BytesWaiting(), 0u);
  EXPECT_EQ(port_.Read(buffer, sizeof buffer), 0u);
  EXPECT_EQ(port_.Write(buffer, 1), 0u);
  EXPECT_TRUE(port_.Close());
  // And it opens again.
  EXPECT_TRUE(port_.Open(com_, 115200, 8, 1));
}

}  // namespace
}  // namespace flotilla::platform
