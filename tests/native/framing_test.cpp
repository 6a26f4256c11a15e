// Framing and unframing in each packet mode, against published frames and the edge cases.
#include "protocol/framing.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_bytes.h"

namespace flotilla::protocol {
namespace {

using test::Bytes;
using test::Hex;

struct FrameCase {
  const char* name;
  PacketMode mode;
  const char* packet;
  const char* frame;
};

// The DIAG and boot downloader frames are as published for these devices; the escape rows
// carry 0x7E/0x7D in the packet and in either FCS byte.
const FrameCase kFrameCases[] = {
    {"diag version request", PacketMode::Diag, "00", "00 78 f0 7e"},
    {"diag esn request", PacketMode::Diag, "01", "01 f1 e1 7e"},
    {"boot nop", PacketMode::BootDownload, "06", "7e 06 4e 95 7e"},
    {"boot parameters request", PacketMode::BootDownload, "07", "7e 07 c7 84 7e"},
    {"boot ack", PacketMode::BootDownload, "02", "7e 02 6a d3 7e"},
    {"stream frame leads with a flag", PacketMode::Streaming, "0c", "7e 0c 14 3a 7e"},
    {"raw has no leading flag", PacketMode::Raw, "01", "01 f1 e1 7e"},
    {"flag and escape in the packet", PacketMode::Diag, "7e 7d", "7d 5e 7d 5d f1 cd 7e"},
    {"escape in the FCS low byte", PacketMode::Diag, "19", "19 38 7d 5d 7e"},
    {"flag in the FCS high byte", PacketMode::Diag, "2a", "2a 20 7d 5e 7e"},
    {"flag in the FCS low byte, boot", PacketMode::BootDownload, "60", "7e 60 7d 5e 93 7e"},
};

TEST(FramePacket, ProducesTheWireFrame) {
  for (const auto& c : kFrameCases) {
    SCOPED_TRACE(c.name);
    auto packet = Bytes(c.packet);
    std::vector<uint8_t> out(MaxFrameLength(packet.size()));
    size_t n = FramePacket(c.mode, packet.data(), packet.size(), out.data(), out.size());
    EXPECT_EQ(Hex(out.data(), n), c.frame);
  }
}

TEST(FramePacket, ReportsZeroWhenTheFrameDoesNotFit) {
  // "60" frames as 7e 60 7d 5e 93 7e: six bytes fit exactly, five do not.
  auto packet = Bytes("60");
  std::vector<uint8_t> out(MaxFrameLength(packet.size()));
  EXPECT_EQ(FramePacket(PacketMode::Streaming, packet.data(), packet.size(), out.data(), 5), 0u);
  EXPECT_EQ(FramePacket(PacketMode::Streaming, packet.data(), packet.size(), out.data(), 6), 6u);
}

TEST(UnframeInPlace, RoundTripsEveryFrameCase) {
  for (const auto& c : kFrameCases) {
    if (c.mode == PacketMode::Raw) continue;
    SCOPED_TRACE(c.name);
    auto frame = Bytes(c.frame);
    frame.push_back(0);
    size_t length = frame.size() - 1;
    ASSERT_EQ(UnframeInPlace(c.mode, frame.data(), length, frame.size()), UnframeStatus::Ok);
    ASSERT_GE(length, 2u);
    EXPECT_EQ(Hex(frame.data(), length - 2), Hex(Bytes(c.packet)));
  }
}

struct UnframeCase {
  const char* name;
  PacketMode mode;
  const char* received;
  UnframeStatus status;
  const char* packet;  // without FCS, when Ok
};

const UnframeCase kUnframeCases[] = {
    {"boot reply with its opening flag", PacketMode::BootDownload, "7e 02 6a d3 7e",
     UnframeStatus::Ok, "02"},
    {"boot reply without its opening flag", PacketMode::BootDownload, "02 6a d3 7e",
     UnframeStatus::Ok, "02"},
    {"stream reply without its opening flag", PacketMode::Streaming, "0c 14 3a 7e",
     UnframeStatus::Ok, "0c"},
    {"diag reply", PacketMode::Diag, "00 78 f0 7e", UnframeStatus::Ok, "00"},
    {"escaped bytes are restored", PacketMode::Diag, "7d 5e 7d 5d f1 cd 7e", UnframeStatus::Ok,
     "7e 7d"},
    {"escaped flag at the very end", PacketMode::Diag, "00 78 f0 7d 5e", UnframeStatus::NoEndFlag,
     ""},
    {"cut off after an escape", PacketMode::Diag, "00 78 f0 7e 7d", UnframeStatus::NoEndFlag, ""},
    {"no end flag", PacketMode::Diag, "00 78 f0", UnframeStatus::NoEndFlag, ""},
    {"nothing received", PacketMode::Diag, "", UnframeStatus::NoEndFlag, ""},
    {"lone flag, boot", PacketMode::BootDownload, "7e", UnframeStatus::NoEndFlag, ""},
    {"two flags, boot: nothing left to check", PacketMode::BootDownload, "7e 7e",
     UnframeStatus::BadFcs, ""},
    {"lone flag, diag: nothing left to check", PacketMode::Diag, "7e", UnframeStatus::BadFcs, ""},
    {"wrong FCS", PacketMode::Diag, "00 78 f1 7e", UnframeStatus::BadFcs, ""},
    {"leading flag is data in diag mode", PacketMode::Diag, "7e 00 78 f0 7e",
     UnframeStatus::BadFcs, ""},
};

TEST(UnframeInPlace, ChecksAndUnframesEachMode) {
  for (const auto& c : kUnframeCases) {
    SCOPED_TRACE(c.name);
    auto data = Bytes(c.received);
    size_t length = data.size();
    data.push_back(0);  // room for an inserted opening flag
    EXPECT_EQ(UnframeInPlace(c.mode, data.data(), length, data.size()), c.status);
    if (c.status == UnframeStatus::Ok) {
      EXPECT_EQ(Hex(data.data(), length - 2), Hex(Bytes(c.packet)));
    }
  }
}

TEST(UnframeInPlace, NeverReadsOrWritesBeyondTheGivenRoom) {
  // A full buffer without its opening flag has no room for the flag: refused, not overrun.
  std::vector<uint8_t> data = Bytes("02 6a d3 7e");
  size_t length = data.size();
  EXPECT_EQ(UnframeInPlace(PacketMode::BootDownload, data.data(), length, data.size()),
            UnframeStatus::NoEndFlag);
  // A length beyond the room is cut to the room.
  std::vector<uint8_t> diag = Bytes("00 78 f0 7e");
  size_t claimed = 4096;
  EXPECT_EQ(UnframeInPlace(PacketMode::Diag, diag.data(), claimed, diag.size()), UnframeStatus::Ok);
  EXPECT_EQ(claimed, 3u);
}

TEST(UnframeErrorText, UsesTheChannelsWords) {
  EXPECT_STREQ(UnframeErrorText(UnframeStatus::NoEndFlag),
               "the Received Data is Wrong without End Flag(0x7e)");
  EXPECT_STREQ(UnframeErrorText(UnframeStatus::BadFcs),
               "the Received Data is Wrong with Wrong CRC Checksum");
}

}  // namespace
}  // namespace flotilla::protocol
