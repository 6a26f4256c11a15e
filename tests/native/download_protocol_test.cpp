// The boot downloader and streaming protocols: packets on the wire, replies, the
// negative-acknowledge and error reasons, and StreamExchange's multi-frame replies.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "protocol/boot_downloader.h"
#include "protocol/framing.h"
#include "protocol/streaming.h"
#include "scripted_device.h"
#include "test_bytes.h"

namespace flotilla::protocol {
namespace {

using test::Bytes;

std::string FrameOf(PacketMode mode, const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> frame(MaxFrameLength(packet.size()));
  size_t n = FramePacket(mode, packet.data(), packet.size(), frame.data(), frame.size());
  return std::string(frame.begin(), frame.begin() + static_cast<long>(n));
}
std::string Boot(const char* hex) { return FrameOf(PacketMode::BootDownload, Bytes(hex)); }
std::string Stream(const char* hex) { return FrameOf(PacketMode::Streaming, Bytes(hex)); }

class DownloadProtocolTest : public ::testing::Test {
 protected:
  DownloadProtocolTest() : channel_(std::make_unique<test::ScriptedDevice>(clock_, script_), clock_) {
    channel_.Port().Open(1);
  }
  void Reply(const std::string& bytes) { script_.replies.push_back({3, bytes}); }
  std::string SentHex() const {
    return test::Hex(reinterpret_cast<const uint8_t*>(script_.last_write.data()), script_.last_write.size());
  }
  // The packet of the last request, unframed.
  std::vector<uint8_t> SentPacket() const {
    std::vector<uint8_t> frame(script_.last_write.begin(), script_.last_write.end());
    frame.push_back(0);
    size_t length = frame.size() - 1;
    EXPECT_EQ(UnframeInPlace(PacketMode::Streaming, frame.data(), length, frame.size()), UnframeStatus::Ok);
    frame.resize(length - 2);
    return frame;
  }

  platform::VirtualClock clock_;
  test::ScriptedDevice::Script script_;
  PhoneChannel channel_;
};

TEST_F(DownloadProtocolTest, BootDownloaderRequestsAreBigEndian) {
  Reply(Boot("02"));
  ASSERT_TRUE(DloadGo(channel_, 0x0080, 0x0000));
  EXPECT_EQ(test::Hex(SentPacket()), "05 00 80 00 00");

  const uint8_t data[] = {0xAA, 0x7E};
  Reply(Boot("02"));
  ASSERT_TRUE(DloadWrite(channel_, 0x00800000 + 1017, data, sizeof data));
  EXPECT_EQ(test::Hex(SentPacket()), "0f 00 80 03 f9 00 02 aa 7e");
  EXPECT_EQ(script_.last_write[0], '\x7e');  // boot downloader frames lead with a flag
}

TEST_F(DownloadProtocolTest, DloadNopWantsAnAcknowledge) {
  struct Case {
    const char* name;
    std::string reply;
    bool ok;
    const char* error;
  } cases[] = {
      {"acknowledge", Boot("02"), true, ""},
      {"other code passes the exchange but not the no-op", Boot("0e"), false,
       "Cannot Do No Operation, Since earlier"},
      {"negative acknowledge", Boot("03 00 03"), false,
       "Cannot Do No Operation, Since operation length is invalid"},
      {"unknown reason", Boot("03 00 63"), false, "Cannot Do No Operation, Since "},
      {"silence", "", false,
       "Cannot Do No Operation, Since Port Cannot Receive Desired Data from the Phone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    channel_.SetErrorText("earlier");
    Reply(c.reply);
    EXPECT_EQ(DloadNop(channel_), c.ok);
    if (!c.ok) {
      EXPECT_EQ(channel_.ErrorText(), c.error);
    }
  }
}

TEST_F(DownloadProtocolTest, DloadParametersFillsFlashInfo) {
  Reply(Boot("08 04 02 00 04 00 00 5a 11 22"));
  FlashInfo info;
  ASSERT_TRUE(DloadParameters(channel_, info));
  EXPECT_EQ(info.protocol_version, 4);
  EXPECT_EQ(info.minimum_version, 2);
  EXPECT_EQ(info.maximum_write_size, 0x400u);  // little-endian in an otherwise big-endian reply
  EXPECT_EQ(info.model, 0x5A);
  EXPECT_EQ(info.device_size_code, 0x11);
  EXPECT_EQ(info.device_type, 0x22);
  EXPECT_FALSE(DloadParameters(channel_, info));
  EXPECT_EQ(info, FlashInfo{});
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot Get flash Information, Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DownloadProtocolTest, DloadWriteAndResetRetryThreeTimes) {
  const uint8_t block[kDloadMaxWrite] = {};
  Reply(Boot("03 00 02"));
  Reply(Boot("03 00 02"));
  Reply(Boot("03 00 02"));
  EXPECT_FALSE(DloadWrite(channel_, 0x10, block, sizeof block));
  EXPECT_EQ(script_.writes, 3);
  EXPECT_EQ(channel_.ErrorText(),
            "Write a Block of Data to Memory Failed, Since destination address is invalid");
  // A full block makes the unframed packet exactly 1024 bytes.
  Reply(Boot("02"));
  EXPECT_TRUE(DloadWrite(channel_, 0x00800000, block, sizeof block));
  EXPECT_EQ(SentPacket().size(), 1024u);
  EXPECT_FALSE(DloadReset(channel_));
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot Reset the Phone, Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DownloadProtocolTest, TheHelloGreetsTheFlashProgrammer) {
  Reply(Stream("02 51 43 4f 4d"));
  ASSERT_TRUE(StreamHello(channel_));
  const auto packet = SentPacket();
  ASSERT_EQ(packet.size(), 36u);
  EXPECT_EQ(std::string(packet.begin() + 1, packet.begin() + 33), "QCOM fast download protocol host");
  EXPECT_EQ(test::Hex(std::vector<uint8_t>(packet.begin() + 33, packet.end())), "02 02 03");
}

TEST_F(DownloadProtocolTest, StreamingRequestsOnTheWire) {
  const uint8_t header[] = {0xA1, 0xA2};
  struct Case {
    const char* name;
    std::function<bool()> run;
    const char* packet;
    const char* reply;
  } cases[] = {
      {"no-op", [&] { return StreamNop(channel_); }, "09 11", "0a 11"},
      {"security", [&] { return StreamSecurityMode(channel_); }, "17 01", "18"},
      {"partition table", [&] { return StreamPartitionTable(channel_, header, 2); }, "19 01 a1 a2", "1a 00"},
      {"open type 2", [&] { return StreamOpenMultiImage(channel_, 2, header, 2); }, "1b 02", "1c 00"},
      {"open type 9", [&] { return StreamOpenMultiImage(channel_, 9, header, 2); }, "1b 09", "1c 00"},
      {"open type 5 with header", [&] { return StreamOpenMultiImage(channel_, 5, header, 2); }, "1b 05 a1 a2", "1c 00"},
      {"open type 10 with header", [&] { return StreamOpenMultiImage(channel_, 10, header, 2); }, "1b 0a a1 a2", "1c 00"},
      {"open unknown type", [&] { return StreamOpenMultiImage(channel_, 7, header, 2); }, "1b", "1c 00"},
      {"close", [&] { return StreamClose(channel_); }, "15", "16"},
      {"reset", [&] { return StreamReset(channel_); }, "0b", "0c"},
      {"probe write", [&] { return StreamWrite(channel_, header, 0xFFFFFFFF, 1); }, "07 ff ff ff ff a1", "08 00 04 00 00"},
      {"block write", [&] { return StreamWrite(channel_, header, 0x400, 2); }, "07 00 04 00 00 a1 a2", "08 00 04 00 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reply(Stream(c.reply));
    EXPECT_TRUE(c.run());
    EXPECT_EQ(test::Hex(SentPacket()), c.packet);
  }
}

TEST_F(DownloadProtocolTest, ASingleFrameReplyMustAnswerItsOwnRequest) {
  // A boot downloader that was never left refuses the programmer's requests with its own
  // negative acknowledge, and acknowledges with a code that a hello reply shares.
  struct Case {
    const char* name;
    std::function<bool()> run;
    std::string reply;
    bool ok;
  } cases[] = {
      {"hello answered by its reply", [&] { return StreamHello(channel_); }, Stream("02"), true},
      {"no-op answered by a boot downloader's refusal", [&] { return StreamNop(channel_); },
       Boot("03 00 06"), false},
      {"no-op answered by an acknowledge", [&] { return StreamNop(channel_); }, Boot("02"), false},
      {"close answered by a block-written frame", [&] { return StreamClose(channel_); },
       Stream("08 00 04 00 00"), false},
      {"reset answered by its reply", [&] { return StreamReset(channel_); }, Stream("0c"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script_.replies.clear();
    for (int i = 0; i < 3; ++i) Reply(c.reply);  // every attempt gets the same answer
    EXPECT_EQ(c.run(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(channel_.ErrorText(), "The Received Data from the Phone Answers Another Request");
    }
  }
}

TEST_F(DownloadProtocolTest, SingleFrameErrorRepliesKeepErrorTextAndTheReason) {
  channel_.SetErrorText("earlier");
  for (int i = 0; i < 3; ++i) Reply(Stream("0d 0f 00 00 00"));
  EXPECT_FALSE(StreamSecurityMode(channel_));
  EXPECT_EQ(channel_.ErrorText(), "Cannot go into security, Since earlier");
  EXPECT_EQ(channel_.ErrorReason(), 15u);

  std::string damaged = Stream("15");
  damaged[2] ^= 0x01;
  for (int i = 0; i < 3; ++i) Reply(damaged);
  EXPECT_FALSE(StreamClose(channel_));
  EXPECT_EQ(channel_.ErrorText(), "the Received Data is Wrong with Wrong CRC Checksum");
}

TEST_F(DownloadProtocolTest, StreamWriteIsConfirmedOnlyByASoundFrameWithItsOwnAddress) {
  const uint8_t block[4] = {1, 2, 3, 4};
  constexpr uint32_t kAddress = 0x0C00;
  const std::string own = Stream("08 00 0c 00 00");
  std::string damaged = own;
  damaged[3] ^= 0x01;
  const char kTimedOut[] = "time is ";
  struct Case {
    const char* name;
    std::string reply;
    std::string later;  // a second burst 100 ms after the first
    bool ok;
    const char* reason;  // after "... Failed, Since "; kTimedOut: the elapsed-time text
  } cases[] = {
      {"block written", own, "", true, ""},
      {"without its opening flag", own.substr(1), "", true, ""},
      {"split across two bursts", own.substr(0, 3), own.substr(3), true, ""},
      {"an earlier block's late answer, then its own", Stream("08 00 08 00 00") + own, "", true, ""},
      {"an earlier block's late answer, its own later", Stream("08 00 08 00 00"), own, true, ""},
      {"block written, then out of sequence", own + Stream("0d 0f 00 00 00"), "", false,
       "Command out of sequence"},
      {"refused after an earlier block's answer", Stream("08 00 08 00 00") + Stream("0d 0a 00 00 00"),
       "", false, "Write-verify failed"},
      {"unknown reason", Stream("0d 63 00 00 00"), "", false, "Illegal reason"},
      {"damaged frame", damaged, "", false, "the Received Data is Wrong with CRC Checksum"},
      {"an empty frame", "\x7e\x7e", "", false, "the Received Data is Wrong with CRC Checksum"},
      // No sound frame for this block: it was not confirmed, whatever came.
      {"only an earlier block's answer", Stream("08 00 08 00 00"), "", false, kTimedOut},
      {"half an error frame", "\x7e\x0d\x0f", "", false, kTimedOut},
      {"a noise byte", "\x55", "", false, kTimedOut},
      {"a lone flag", "\x7e", "", false, kTimedOut},
      {"block written without its address", Stream("08"), "", false, kTimedOut},
      {"a frame that never ends", "\x55" + std::string(1100, 'A'), "", false,
       "The Received Data from the Phone is Too Large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script_.replies.push_back({3, c.reply, 100, c.later});
    EXPECT_EQ(StreamWrite(channel_, block, kAddress, sizeof block), c.ok);
    if (c.ok) {
      EXPECT_EQ(channel_.ErrorText().rfind(kTimedOut, 0), 0u);
    } else if (c.reason == kTimedOut) {
      EXPECT_EQ(channel_.ErrorText().rfind(std::string("Write a Block of Data to Memory Failed, Since ") +
                                               kTimedOut, 0),
                0u)
          << channel_.ErrorText();
    } else {
      EXPECT_EQ(channel_.ErrorText(),
                std::string("Write a Block of Data to Memory Failed, Since ") + c.reason);
    }
  }
}

TEST_F(DownloadProtocolTest, TheProbeWriteTakesAnyBlockWrittenFrame) {
  // The probe writes nothing, so the programmer's echo of its address may differ.
  const uint8_t probe[1] = {'a'};
  Reply(Stream("08 00 00 00 00"));
  EXPECT_TRUE(StreamWrite(channel_, probe, kStreamProbeAddress, 1));
  Reply(Stream("0d 0f 00 00 00"));
  EXPECT_FALSE(StreamWrite(channel_, probe, kStreamProbeAddress, 1));
  Reply("\x7e\x0d");
  EXPECT_FALSE(StreamWrite(channel_, probe, kStreamProbeAddress, 1));
}

TEST_F(DownloadProtocolTest, StreamWriteWaitsWithAGrowingSleepAndGivesUpAfterAMinute) {
  const uint8_t block[1] = {0};
  clock_.ClearSleeps();
  EXPECT_FALSE(StreamWrite(channel_, block, 0, 1));
  // Sleeps 2, 2, 3, 3, 4, 4, ... until more than 60 s have passed.
  const auto& sleeps = clock_.Sleeps();
  ASSERT_GE(sleeps.size(), 4u);
  EXPECT_EQ(sleeps[0], 2u);
  EXPECT_EQ(sleeps[1], 2u);
  EXPECT_EQ(sleeps[2], 3u);
  const uint64_t total = std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0});
  EXPECT_GT(total, kStreamReplyLimitMs);
  EXPECT_LT(total, kStreamReplyLimitMs + 2 * sleeps.back() + 1);
  EXPECT_EQ(channel_.ErrorText(), "Write a Block of Data to Memory Failed, Since time is " +
                                      std::to_string(total) + "(ms)");
}

}  // namespace
}  // namespace flotilla::protocol
