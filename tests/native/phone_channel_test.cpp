// PhoneChannel: request reset, framing of requests, reply checks and the buffer limits.
#include "protocol/phone_channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "protocol/operation_text.h"
#include "test_bytes.h"

namespace flotilla::protocol {
namespace {

using test::Bytes;
using test::Hex;

class PhoneChannelTest : public ::testing::Test {
 protected:
  platform::VirtualClock clock_;
  PhoneChannel channel_{nullptr, clock_};

  void Receive(const std::vector<uint8_t>& bytes) {
    channel_.SetReceiveLength(0);
    channel_.AppendReceived(bytes.data(), bytes.size());
  }
};

TEST_F(PhoneChannelTest, ResetClearsBuffersButKeepsParametersAndErrorText) {
  const auto params = Bytes("aa bb");
  channel_.SetRequest(0x26, params.data(), params.size());
  channel_.SetErrorText("earlier failure");
  channel_.ScratchText() = "Cannot Reset the Phone, Since ";
  channel_.SetExtraData(params.data(), params.size());
  channel_.FrameRequest();
  Receive(Bytes("01 02 03"));

  channel_.ResetForRequest();

  EXPECT_EQ(channel_.TransmitLength(), 0u);
  EXPECT_EQ(channel_.TransmitBuffer()[0], 0);
  EXPECT_EQ(channel_.ReceiveLength(), 0u);
  EXPECT_EQ(channel_.ReceiveBuffer()[0], 0);
  EXPECT_EQ(channel_.ExtraDataLength(), 0u);
  EXPECT_TRUE(channel_.ScratchText().empty());
  EXPECT_EQ(channel_.ErrorText(), "earlier failure");
  EXPECT_EQ(channel_.RequestCommand(), 0x26);
  EXPECT_EQ(Hex(channel_.TransmitBuffer(), channel_.FrameRequest()), "26 aa bb f9 4a 7e");
}

TEST_F(PhoneChannelTest, FramesTheRequestForEachMode) {
  struct Case {
    PacketMode mode;
    const char* frame;
  } cases[] = {
      {PacketMode::Diag, "00 78 f0 7e"},
      {PacketMode::BootDownload, "7e 00 78 f0 7e"},
      {PacketMode::Streaming, "7e 00 78 f0 7e"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    channel_.ResetForRequest();
    channel_.SetMode(c.mode);
    channel_.SetRequest(0x00, nullptr, 0);
    uint32_t n = channel_.FrameRequest();
    EXPECT_EQ(n, channel_.TransmitLength());
    EXPECT_EQ(Hex(channel_.TransmitBuffer(), n), c.frame);
  }
}

TEST_F(PhoneChannelTest, RawModeFramesTheCallersPacket) {
  channel_.SetMode(PacketMode::Raw);
  const auto packet = Bytes("7e 7d");
  ASSERT_TRUE(channel_.SetRawPacket(packet.data(), packet.size()));
  EXPECT_EQ(Hex(channel_.TransmitBuffer(), channel_.FrameRequest()), "7d 5e 7d 5d f1 cd 7e");
}

TEST_F(PhoneChannelTest, TheLargestStreamWriteFitsFullyEscaped) {
  // A stream write: command, 4-byte address, 1024 data bytes, every one of them a flag.
  std::vector<uint8_t> params(4 + PhoneChannel::kMaxRequestData, 0x7E);
  channel_.SetMode(PacketMode::Streaming);
  ASSERT_TRUE(channel_.SetRequest(0x07, params.data(), params.size()));
  uint32_t n = channel_.FrameRequest();
  ASSERT_GT(n, 0u);
  // Leading flag, the command, 1028 escaped parameter bytes, the FCS (2 to 4 bytes), end flag.
  EXPECT_GE(n, 1u + 1 + 2 * 1028 + 2 + 1);
  EXPECT_LE(n, PhoneChannel::kTransmitCapacity);
  EXPECT_EQ(channel_.TransmitBuffer()[0], kFlag);
  EXPECT_EQ(channel_.TransmitBuffer()[n - 1], kFlag);

  // The worst case of the largest packet the channel accepts still fits.
  std::vector<uint8_t> worst(PhoneChannel::kMaxRequestPacket - 1, 0x7D);
  ASSERT_TRUE(channel_.SetRequest(0x7E, worst.data(), worst.size()));
  n = channel_.FrameRequest();
  EXPECT_GE(n, 2 * PhoneChannel::kMaxRequestPacket + 2);
  EXPECT_LE(n, MaxFrameLength(PhoneChannel::kMaxRequestPacket));
}

TEST_F(PhoneChannelTest, RefusesRequestsBeyondItsBuffers) {
  std::vector<uint8_t> too_long(PhoneChannel::kMaxRequestPacket, 0);
  EXPECT_FALSE(channel_.SetRequest(0x07, too_long.data(), too_long.size()));
  EXPECT_FALSE(channel_.SetRawPacket(too_long.data(), too_long.size() + 1));
  std::vector<uint8_t> extra(PhoneChannel::kExtraDataCapacity + 1, 0);
  EXPECT_FALSE(channel_.SetExtraData(extra.data(), extra.size()));
}

TEST_F(PhoneChannelTest, ReceiveBufferTakesAtMostTheLargestReply) {
  std::vector<uint8_t> flood(3000, 0x55);
  EXPECT_EQ(channel_.AppendReceived(flood.data(), flood.size()), PhoneChannel::kReceiveCapacity);
  EXPECT_EQ(channel_.AppendReceived(flood.data(), 1), 0u);
  EXPECT_EQ(channel_.ReceiveLength(), PhoneChannel::kReceiveCapacity);
  channel_.SetMode(PacketMode::Diag);
  EXPECT_FALSE(channel_.UnframeReply());
  EXPECT_EQ(channel_.ErrorText(), "the Received Data is Wrong without End Flag(0x7e)");
}

// A boot downloader reply of the full 1024 bytes that lost its opening flag.
std::vector<uint8_t> FullSizeReplyWithoutOpeningFlag() {
  for (int filler = 1; filler < 256; ++filler) {
    if (filler == kFlag || filler == kEscape) continue;
    std::vector<uint8_t> packet(1021, static_cast<uint8_t>(filler));
    packet[0] = 0x02;
    std::vector<uint8_t> frame(MaxFrameLength(packet.size()));
    size_t n = FramePacket(PacketMode::BootDownload, packet.data(), packet.size(), frame.data(),
                           frame.size());
    if (n - 1 == PhoneChannel::kReceiveCapacity) return {frame.begin() + 1, frame.begin() + n};
  }
  return {};
}

TEST_F(PhoneChannelTest, AcceptsAFullSizeBootReplyWithoutItsOpeningFlag) {
  const auto reply = FullSizeReplyWithoutOpeningFlag();
  ASSERT_EQ(reply.size(), PhoneChannel::kReceiveCapacity);
  channel_.SetMode(PacketMode::BootDownload);
  Receive(reply);
  ASSERT_TRUE(channel_.UnframeReply()) << channel_.ErrorText();
  EXPECT_EQ(channel_.RawReplyLength(), PhoneChannel::kReceiveCapacity);
  EXPECT_EQ(channel_.ReplyCode(), 0x02);
  EXPECT_EQ(channel_.ReplyFieldsLength(), 1020u);
  EXPECT_EQ(channel_.ReadPosition(), 1u);
}

TEST_F(PhoneChannelTest, UnframeReplyReportsFramingFailuresAndParserResults) {
  channel_.SetMode(PacketMode::Diag);
  Receive(Bytes("00 78 f1 7e"));
  EXPECT_FALSE(channel_.UnframeReply());
  EXPECT_EQ(channel_.ErrorText(), "the Received Data is Wrong with Wrong CRC Checksum");
  EXPECT_EQ(channel_.RawReplyLength(), 4u);

  channel_.SetReplyParser(PacketMode::Diag, [](PhoneChannel& ch) {
    ch.SetErrorText("parser said no to " + std::to_string(ch.ReplyCode()));
    return false;
  });
  Receive(Bytes("01 f1 e1 7e"));
  EXPECT_FALSE(channel_.UnframeReply());
  EXPECT_EQ(channel_.ErrorText(), "parser said no to 1");
}

}  // namespace
}  // namespace flotilla::protocol

namespace flotilla::protocol {
namespace {

TEST(FormatText, KeepsTheFormatWhenTheTextCannotBeFormatted) {
  EXPECT_EQ(FormatText("Line%d :\tOpen armprg.bin fail!", 1), "Line1 :\tOpen armprg.bin fail!");
  EXPECT_EQ(FormatText("%s", std::string(2000, 'x').c_str()), std::string(1023, 'x'));
  // A wide text the C locale cannot convert makes the formatter fail; the reason still shows.
  EXPECT_EQ(FormatText("cannot read, since %ls", L"\u00e9t\u00e9"), "cannot read, since %ls");
}

}  // namespace
}  // namespace flotilla::protocol
