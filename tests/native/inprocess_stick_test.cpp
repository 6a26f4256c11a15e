// The in-process stick: replies arrive by virtual time, purges, exclusive ports, the DIAG log
// and the capture.
#include "sim/transport/inprocess_stick.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/framing.h"
#include "test_bytes.h"

namespace flotilla::sim {
namespace {

class InProcessStickTest : public ::testing::Test {
 protected:
  InProcessStickTest() : stick_(clock_, StickConfig{}, Link(), [this](const std::string& l) {
                               log_.push_back(l);
                             }) {
    stick_.SetPortNumbers(7, 8);
  }
  static LinkModel Link() {
    LinkModel link;
    link.latency_ms = 5;
    link.bytes_per_second = 1000;  // one byte per millisecond, easy to reason about
    return link;
  }
  uint32_t Send(platform::SerialDevice& port, const std::string& text) {
    return port.Write(reinterpret_cast<const uint8_t*>(text.data()),
                      static_cast<uint32_t>(text.size()));
  }

  platform::VirtualClock clock_;
  std::vector<std::string> log_;
  InProcessStick stick_;
};

TEST_F(InProcessStickTest, RepliesBecomeVisibleOnlyAsVirtualTimeReachesThem) {
  auto at = stick_.CreateSerialDevice();
  ASSERT_TRUE(at->Open(7, 115200, 8, 1));
  ASSERT_EQ(Send(*at, "AT+ZRST\r"), 8u);
  // "AT+ZRST\r\r\nOK\r\n" is 14 bytes; it starts after 20 ms answer delay + 5 ms latency.
  EXPECT_EQ(at->BytesWaiting(), 0u);
  clock_.Advance(25);
  EXPECT_EQ(at->BytesWaiting(), 0u);
  clock_.Advance(1);
  EXPECT_EQ(at->BytesWaiting(), 1u);
  clock_.Advance(13);
  EXPECT_EQ(at->BytesWaiting(), 14u);

  uint8_t buf[64];
  EXPECT_EQ(at->Read(buf, 5), 5u);  // a smaller limit leaves the rest queued
  EXPECT_EQ(at->BytesWaiting(), 9u);
  EXPECT_EQ(at->Read(buf, sizeof buf), 9u);
  EXPECT_EQ(at->Read(buf, sizeof buf), 0u);
}

TEST_F(InProcessStickTest, WriteDiscardsArrivedInputWriteStreamKeepsIt) {
  auto at = stick_.CreateSerialDevice();
  ASSERT_TRUE(at->Open(7, 115200, 8, 1));
  Send(*at, "AT+ZRST\r");
  clock_.Advance(100);
  ASSERT_EQ(at->BytesWaiting(), 14u);
  const uint8_t cr = '\r';  // an empty line: the stick stays silent
  EXPECT_EQ(at->WriteStream(&cr, 1), 1u);
  EXPECT_EQ(at->BytesWaiting(), 14u);
  EXPECT_EQ(at->Write(&cr, 1), 1u);
  EXPECT_EQ(at->BytesWaiting(), 0u);
}

TEST_F(InProcessStickTest, PortsAreExclusiveAndOnlyTheConfiguredOnesExist) {
  auto first = stick_.CreateSerialDevice();
  auto second = stick_.CreateSerialDevice();
  EXPECT_FALSE(first->Open(9, 115200, 8, 1));
  EXPECT_FALSE(first->IsOpen());
  EXPECT_TRUE(first->Open(8, 115200, 8, 1));
  EXPECT_TRUE(first->Open(8, 9600, 8, 1));  // already open: true, nothing changes
  EXPECT_FALSE(second->Open(8, 115200, 8, 1));
  EXPECT_TRUE(first->Close());
  EXPECT_TRUE(first->Close());
  EXPECT_TRUE(second->Open(8, 115200, 8, 1));
  EXPECT_EQ(first->BytesWaiting(), 0u);
  uint8_t b = 0;
  EXPECT_EQ(first->Read(&b, 1), 0u);
  EXPECT_EQ(first->Write(&b, 1), 0u);
}

TEST_F(InProcessStickTest, DiagPortLogsGoodAndBadFrames) {
  auto diag = stick_.CreateSerialDevice();
  ASSERT_TRUE(diag->Open(8, 115200, 8, 1));
  auto frame = test::Bytes("00 78 f0 7e 7e 06 4e 95 7e 00 78 f1 7e");
  diag->WriteStream(frame.data(), static_cast<uint32_t>(frame.size()));
  ASSERT_EQ(stick_.Model().Diag().Frames().size(), 2u);
  EXPECT_EQ(test::Hex(stick_.Model().Diag().Frames()[1]), "06");
  EXPECT_EQ(stick_.Model().Diag().BadFrames(), 1);
  EXPECT_EQ(log_.back(), "diag: bad frame: the Received Data is Wrong with Wrong CRC Checksum");
  EXPECT_EQ(diag->BytesWaiting(), 0u);
}

TEST_F(InProcessStickTest, CaptureRecordsEachChunkWithTimeAndDirection) {
  const std::string path = ::testing::TempDir() + "inprocess_capture_" + std::to_string(::getpid()) + ".txt";
  Capture capture;
  ASSERT_TRUE(capture.OpenFile(path));
  stick_.SetCapture(&capture);
  auto at = stick_.CreateSerialDevice();
  ASSERT_TRUE(at->Open(7, 115200, 8, 1));
  clock_.Advance(1000);
  Send(*at, "AT+ZRST\r");
  std::ifstream in(path);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "1000 at h2d 41542b5a5253540d");
  EXPECT_EQ(second, "1025 at d2h 41542b5a5253540d0d0a4f4b0d0a");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace flotilla::sim
