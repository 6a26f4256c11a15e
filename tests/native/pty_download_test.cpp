// The real stick-sim program over pseudo-terminals in its download modes: the switch leaves
// the DIAG port alone, the boot downloader starts the programmer on the same port, the
// programmer's writes land in the state directory, and its reset brings both ports back.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "pty_client.h"

namespace flotilla {
namespace {

using Bytes = std::vector<uint8_t>;
using protocol::PacketMode;

using test::Exists;
using test::ReadyValue;
using test::WaitFor;
using Port = test::PtyClient;

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

class PtyDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("FLOTILLA_DOWNLOAD_SIM_DIR");
    if (!dir) GTEST_SKIP() << "FLOTILLA_DOWNLOAD_SIM_DIR not set: run through ctest, which starts stick-sim";
    dir_ = dir;
    ASSERT_TRUE(WaitFor([&] { return Exists(dir_ + "/ready"); }));
  }
  // The stick drops its ports and brings them back.
  void AwaitReenumeration() {
    ASSERT_TRUE(WaitFor([&] { return !Exists(dir_ + "/ready"); })) << "the ports never went";
    ASSERT_TRUE(WaitFor([&] { return Exists(dir_ + "/ready"); })) << "the ports never came back";
  }
  std::string dir_;
};

TEST_F(PtyDownloadTest, FromTheSwitchThroughTheProgrammerBackToTheFirmware) {
  {
    Port diag(dir_ + "/diag");
    ASSERT_TRUE(diag.Ok());
    // The switch is refused until the prepare request came.
    EXPECT_EQ(diag.Exchange(PacketMode::Diag, {0x3A}), (Bytes{0x18, 0x3A}));
    const Bytes prepare = {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00};
    EXPECT_EQ(diag.Exchange(PacketMode::Diag, prepare), prepare);
    EXPECT_EQ(diag.Exchange(PacketMode::Diag, {0x3A}), Bytes{0x3A});
    AwaitReenumeration();
  }
  EXPECT_FALSE(Exists(dir_ + "/at"));
  EXPECT_EQ(ReadyValue(dir_ + "/ready", "at"), "");

  Port diag(dir_ + "/diag");
  ASSERT_TRUE(diag.Ok());
  // The stick was started with this programmer (--programmer).
  const Bytes programmer = Text("PRG!");
  Bytes write = {0x0F, 0x00, 0x80, 0x00, 0x00, 0x00, 0x04};
  write.insert(write.end(), programmer.begin(), programmer.end());
  Bytes hello = Text("\x01QCOM fast download protocol host");
  hello.insert(hello.end(), {0x02, 0x02, 0x03});
  const Bytes header = Text("HDR!");
  const Bytes body = Text("amss body \x7e\x7d bytes");
  Bytes open = {0x1B, 0x05};
  open.insert(open.end(), header.begin(), header.end());
  Bytes stream_write = {0x07, 0, 0, 0, 0};
  stream_write.insert(stream_write.end(), body.begin(), body.end());
  Bytes table = {0x19, 0x01};
  table.insert(table.end(), {'F', 'L', 'P', 'T', 0x7E});

  struct Step {
    const char* name;
    PacketMode mode;
    Bytes request;
    Bytes reply;  // empty: only the code is compared
    uint8_t code;
  } steps[] = {
      {"no-op", PacketMode::BootDownload, {0x06}, {0x02}, 0x02},
      {"write below RAM", PacketMode::BootDownload, {0x0F, 0, 0x10, 0, 0, 0, 1, 0xAA}, {0x03, 0x00, 0x02}, 0x03},
      {"write", PacketMode::BootDownload, write, {0x02}, 0x02},
      {"go", PacketMode::BootDownload, {0x05, 0x00, 0x80, 0x00, 0x00}, {0x02}, 0x02},
      {"hello", PacketMode::Streaming, hello, {}, 0x02},
      {"write with no image open", PacketMode::Streaming, {0x07, 0, 0, 0, 0, 1}, {0x0D, 15, 0, 0, 0}, 0x0D},
      {"security mode", PacketMode::Streaming, {0x17, 0x01}, {0x18}, 0x18},
      {"partition table", PacketMode::Streaming, table, {}, 0x1A},
      {"open", PacketMode::Streaming, open, {}, 0x1C},
      {"stream write", PacketMode::Streaming, stream_write, {0x08, 0, 0, 0, 0}, 0x08},
      {"close", PacketMode::Streaming, {0x15}, {0x16}, 0x16},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    const Bytes reply = diag.Exchange(s.mode, s.request);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], s.code);
    if (!s.reply.empty()) {
      EXPECT_EQ(reply, s.reply);
    }
  }

  EXPECT_EQ(FileBytes(dir_ + "/flash/partition.bin"), Bytes(table.begin() + 2, table.end()));
  EXPECT_EQ(FileBytes(dir_ + "/flash/image-5.hdr"), header);
  EXPECT_EQ(FileBytes(dir_ + "/flash/image-5.bin"), body);

  EXPECT_EQ(diag.Exchange(PacketMode::Streaming, {0x0B}), Bytes{0x0C});
  AwaitReenumeration();
  EXPECT_TRUE(Exists(dir_ + "/at"));
  Port back(dir_ + "/diag");
  ASSERT_TRUE(back.Ok());
  const Bytes esn = back.Exchange(PacketMode::Diag, {0x01});
  EXPECT_EQ(esn.size(), 5u);
}

}  // namespace
}  // namespace flotilla
