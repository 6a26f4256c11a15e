// The DIAG command set over Transact: each operation's success path and failure texts, the
// error replies, NV statuses, version-set layouts, attempts and time-outs in virtual time.
#include "protocol/diag.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "protocol/framing.h"
#include "protocol/transact.h"
#include "scripted_device.h"
#include "test_bytes.h"

namespace flotilla::protocol {
namespace {

using test::Bytes;
using test::ScriptedDevice;
using test::ScriptedReply;

const char kNoReply[] = "Port Cannot Receive Desired Data from the Phone";

// A reply packet as the firmware frames it (no leading flag).
std::string Framed(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> frame(MaxFrameLength(packet.size()));
  size_t n = FramePacket(PacketMode::Diag, packet.data(), packet.size(), frame.data(), frame.size());
  return std::string(frame.begin(), frame.begin() + static_cast<long>(n));
}
std::string Framed(const char* hex) { return Framed(Bytes(hex)); }

class DiagTest : public ::testing::Test {
 protected:
  DiagTest() : channel_(std::make_unique<ScriptedDevice>(clock_, script_), clock_) {
    channel_.Port().Open(1);
  }
  void Reply(const std::string& bytes, uint32_t delay_ms = 5) {
    script_.replies.push_back({delay_ms, bytes});
  }
  void Silence() { script_.replies.push_back({0, ""}); }
  uint64_t SleptMs() const {
    const auto& s = clock_.Sleeps();
    return std::accumulate(s.begin(), s.end(), uint64_t{0});
  }
  std::string Sent() const { return test::Hex(Bytes(ToHex(script_.last_write))); }
  static std::string ToHex(const std::string& raw) {
    return test::Hex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
  }

  platform::VirtualClock clock_;
  ScriptedDevice::Script script_;
  PhoneChannel channel_;
};

struct OperationCase {
  const char* name;
  std::function<bool(PhoneChannel&)> run;
  const char* request;  // the frame sent, hex
  const char* reply;    // packet hex; nullptr: silence
  bool ok;
  const char* error;  // ErrorText afterwards, when !ok
};

TEST_F(DiagTest, EachOperationSucceedsOrExplainsItsFailure) {
  uint32_t esn = 0;
  auto esn_op = [&](PhoneChannel& c) { return QueryEsn(c, esn); };
  const OperationCase cases[] = {
      {"esn", esn_op, "01 f1 e1 7e", "01 78 56 34 12", true, ""},
      {"esn, silence", esn_op, "01 f1 e1 7e", nullptr, false,
       "Cannot Get the ESN Number of the Phone, Since Port Cannot Receive Desired Data from the Phone"},
      {"esn, bad command", esn_op, "01 f1 e1 7e", "13 01", false,
       "Cannot Get the ESN Number of the Phone, Since Bad command"},
      {"offline", PutOffline, "29 01 00 31 40 7e", "29 01 00", true, ""},
      {"offline, silence", PutOffline, "29 01 00 31 40 7e", nullptr, false,
       "Cannot Put the Phone Offline, Since Port Cannot Receive Desired Data from the Phone"},
      {"reset", ResetPhone, "29 02 00 59 6a 7e", "29 02 00", true, ""},
      {"reset, silence", ResetPhone, "29 02 00 59 6a 7e", nullptr, false,
       "Cannot Reset the Phone, Since Port Cannot Receive Desired Data from the Phone"},
      {"mode 4, wrong mode", ModeChange4, "29 04 00 89 3e 7e", "18 29", false,
       "Cannot Put the Phone Offline, Since the DMSS isn't in a particular mode"},
      {"downloader switch", SwitchToBootDownloader, "3a a1 6e 7e", "3a", true, ""},
      {"downloader switch, silence", SwitchToBootDownloader, "3a a1 6e 7e", nullptr, false,
       "Cannot Switch to Downloader, Since Port Cannot Receive Desired Data from the Phone"},
      {"spc unlock", UnlockServiceProgramming, "41 30 30 30 30 30 30 df 8a 7e", "41 01", true, ""},
      {"spc unlock, refused: no text of its own", UnlockServiceProgramming,
       "41 30 30 30 30 30 30 df 8a 7e", "42 41", false,
       "the correct SPC has not yet been entered to unlock service programming"},
      {"prepare downloader", PrepareDownloader, "5c 01 00 c2 01 00 a4 2b 7e", "5c 01", true, ""},
      {"subsystem 4 ready", QuerySubsystem4, "4b 04 0e 00 0d d3 7e", "4b 04 0e 00 00", true, ""},
      {"subsystem 4 busy", QuerySubsystem4, "4b 04 0e 00 0d d3 7e", "4b 04 0e 00 01", false, ""},
      // A reply cut before its status or value is no answer, never a zero.
      {"subsystem 4, status missing", QuerySubsystem4, "4b 04 0e 00 0d d3 7e", "4b 04 0e 00", false,
       "The Received Data from the Phone is Too Short"},
      {"esn, bare code", esn_op, "01 f1 e1 7e", "01", false,
       "Cannot Get the ESN Number of the Phone, Since The Received Data from the Phone is Too Short"},
      {"esn, cut short", esn_op, "01 f1 e1 7e", "01 78 56 34", false,
       "Cannot Get the ESN Number of the Phone, Since The Received Data from the Phone is Too Short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    channel_.SetErrorText("");
    if (c.reply) {
      Reply(Framed(c.reply));
    } else {
      Silence();
    }
    EXPECT_EQ(c.run(channel_), c.ok);
    EXPECT_EQ(ToHex(script_.last_write), c.request);
    if (!c.ok) {
      EXPECT_EQ(channel_.ErrorText(), c.error);
    }
  }
  EXPECT_EQ(esn, kNoEsn);  // the last ESN query failed
}

TEST_F(DiagTest, QueryEsnReadsTheLittleEndianNumber) {
  Reply(Framed("01 78 56 34 12"));
  uint32_t esn = 0;
  ASSERT_TRUE(QueryEsn(channel_, esn));
  EXPECT_EQ(esn, 0x12345678u);
}

TEST(DiagErrorText, NamesEachErrorReply) {
  const std::pair<uint8_t, const char*> cases[] = {
      {0x13, "Bad command"},
      {0x14, "The Request packet has invalid or inconsistent parameters"},
      {0x15, "The Request packet has an invalid length"},
      {0x18, "the DMSS isn't in a particular mode"},
      {0x42, "the correct SPC has not yet been entered to unlock service programming"},
      {0x47, "the correct Security Password has not yet been entered to unlock the phone"},
      {0x00, "unknow reason"},
      {0x7E, "unknow reason"},
  };
  for (const auto& [code, text] : cases) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(DiagErrorText(code), text);
  }
}

TEST_F(DiagTest, TransactRetriesAfterAnErrorReply) {
  channel_.ResetForRequest();
  channel_.SetMode(PacketMode::Diag);
  channel_.SetRequest(0x01, nullptr, 0);
  Reply(Framed("13 01"));
  Reply(Framed("01 01 00 00 00"));
  EXPECT_TRUE(Transact(channel_, 2, 300));
  EXPECT_EQ(script_.writes, 2);
}

TEST_F(DiagTest, TransactWaitsAttemptsTimesTheTimeOut) {
  struct Case {
    uint8_t command;
    uint8_t attempts;
    uint32_t timeout_ms;
    uint32_t poll_ms;
  } cases[] = {
      {0x01, 1, 300, 10}, {0x01, 3, 300, 10}, {0x29, 1, 10000, 10},
      {0x26, 3, 2000, 30}, {0x27, 1, 95, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.command) + " x" + std::to_string(c.attempts));
    clock_.ClearSleeps();
    script_.writes = 0;
    channel_.ResetForRequest();
    channel_.SetMode(PacketMode::Diag);
    channel_.SetRequest(c.command, nullptr, 0);
    EXPECT_FALSE(Transact(channel_, c.attempts, c.timeout_ms));
    EXPECT_EQ(channel_.ErrorText(), kNoReply);
    EXPECT_EQ(script_.writes, c.attempts);
    // Each attempt polls until more than the time-out has passed.
    const uint64_t per_attempt = (c.timeout_ms / c.poll_ms + 1) * c.poll_ms;
    EXPECT_EQ(SleptMs(), c.attempts * per_attempt);
    for (uint32_t s : clock_.Sleeps()) EXPECT_EQ(s, c.poll_ms);
  }
}

TEST_F(DiagTest, TransactRefusesWhatItCannotSendOrHold) {
  channel_.ResetForRequest();
  channel_.SetMode(PacketMode::Diag);
  channel_.SetRequest(0x01, nullptr, 0);
  Reply(std::string(1500, '\x01'));
  EXPECT_FALSE(Transact(channel_, 1, 300));
  EXPECT_EQ(channel_.ErrorText(), "The Received Data from the Phone is Too Large");

  script_.short_writes = true;
  script_.writes = 0;
  clock_.ClearSleeps();
  EXPECT_FALSE(Transact(channel_, 2, 300));
  EXPECT_EQ(channel_.ErrorText(), "Port Cannot Send desired data to the Phone");
  EXPECT_EQ(script_.writes, 2);
  EXPECT_TRUE(clock_.Sleeps().empty());  // a failed send waits for nothing
}

TEST_F(DiagTest, AReplyInTwoBurstsIsCutAndTheLateBytesAreDiscarded) {
  const std::string frame = Framed("01 78 56 34 12");
  // The second half comes 50 ms later, long after the input count stood still for a poll.
  script_.replies.push_back({5, frame.substr(0, 3), 50, frame.substr(3)});
  uint32_t esn = 0;
  EXPECT_FALSE(QueryEsn(channel_, esn));
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot Get the ESN Number of the Phone, Since the Received Data is Wrong without End "
            "Flag(0x7e)");
  clock_.Advance(100);  // the late half has arrived; the next request discards it
  Reply(Framed("01 01 00 00 00"));
  EXPECT_TRUE(QueryEsn(channel_, esn));
  EXPECT_EQ(esn, 1u);
}

TEST(NvStatusText, NamesEachStatus) {
  const char* const texts[] = {"",
                               "Request is queued",
                               "Unrecognizable command field",
                               "The NVM is full",
                               "Command failed, reason other than NVM was full",
                               "Variable was not active",
                               "Bad parameter in command block",
                               "Parameter is write-protected and thus read only",
                               "Item not valid for Target",
                               "free memory exhausted",
                               "address is not a valid allocation ",
                               ""};
  for (uint16_t status = 0; status < 12; ++status) {
    SCOPED_TRACE(status);
    EXPECT_STREQ(NvStatusText(status), texts[status]);
  }
}

// An NV reply: item, 128 data bytes, status.
std::string NvReply(uint8_t code, uint16_t item, uint8_t fill, uint16_t status) {
  std::vector<uint8_t> packet = {code, static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
  packet.insert(packet.end(), kNvDataBytes, fill);
  packet.push_back(static_cast<uint8_t>(status));
  packet.push_back(static_cast<uint8_t>(status >> 8));
  return Framed(packet);
}

TEST_F(DiagTest, ReadNvItem) {
  NvData data{};
  uint16_t status = 0;
  Reply(NvReply(0x26, 550, 0xAB, 0));
  ASSERT_TRUE(ReadNvItem(channel_, 550, data, status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data[0], 0xAB);
  EXPECT_EQ(data[127], 0xAB);
  // The request carries the item, the caller's 128 bytes and a zero status.
  EXPECT_EQ(script_.last_write.substr(0, 3), std::string("\x26\x26\x02", 3));

  Reply(NvReply(0x26, 71, 0xCD, 5));
  EXPECT_FALSE(ReadNvItem(channel_, 71, data, status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(data, NvData{});
  EXPECT_EQ(channel_.ErrorText(), "cannot read #71 NV Item, since Variable was not active");

  data.fill(0x11);
  script_.writes = 0;
  EXPECT_FALSE(ReadNvItem(channel_, 71, data, status));
  EXPECT_EQ(script_.writes, 3);
  EXPECT_EQ(status, kNvStatusNoReply);
  EXPECT_EQ(data, NvData{});
  EXPECT_EQ(channel_.ErrorText(),
            "cannot read #71 NVItem, since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagTest, WriteNvItem) {
  NvData data{};
  data.fill(0x5A);
  uint16_t status = 0;
  Reply(NvReply(0x27, 4051, 0x5A, 0));
  EXPECT_TRUE(WriteNvItem(channel_, 4051, data, status));
  EXPECT_EQ(status, 0);

  Reply(NvReply(0x27, 4051, 0x5A, 7));
  EXPECT_FALSE(WriteNvItem(channel_, 4051, data, status));
  EXPECT_EQ(status, 7);
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot Write #4051 NVItem, Since Parameter is write-protected and thus read only");

  EXPECT_FALSE(WriteNvItem(channel_, 4051, data, status));
  EXPECT_EQ(status, kNvStatusNoReply);
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot write #4051 NVItem, Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagTest, AnNvReplyCutBeforeItsStatusIsRetriedAndNeverReadAsZero) {
  const std::string read_cut = Framed("26 16 00");
  const std::string write_cut = Framed("27 16 00");
  NvData data{};
  uint16_t status = 0;

  // A cut reply fails its attempt; the next attempt's whole reply counts.
  Reply(read_cut);
  Reply(NvReply(0x26, 22, 0x3C, 0));
  ASSERT_TRUE(ReadNvItem(channel_, 22, data, status));
  EXPECT_EQ(data[0], 0x3C);
  EXPECT_EQ(script_.writes, 2);

  // Cut every time: no value, no status 0.
  for (int i = 0; i < 3; ++i) Reply(Framed(std::vector<uint8_t>{0x26, 0x16, 0x00, 0x01, 0x02}));
  data.fill(0x77);
  EXPECT_FALSE(ReadNvItem(channel_, 22, data, status));
  EXPECT_EQ(status, kNvStatusNoReply);
  EXPECT_EQ(data, NvData{});
  EXPECT_EQ(channel_.ErrorText(),
            "cannot read #22 NVItem, since The Received Data from the Phone is Too Short");

  for (int i = 0; i < 3; ++i) Reply(write_cut);
  EXPECT_FALSE(WriteNvItem(channel_, 22, data, status));
  EXPECT_EQ(status, kNvStatusNoReply);
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot write #22 NVItem, Since The Received Data from the Phone is Too Short");
}

// A stick that was slow with an earlier item answers it during the next exchange. Only the
// reply that names the requested item (and, for a write, the value written) counts; the
// other is passed over and the wait goes on within the attempt's time-out.
TEST_F(DiagTest, AnNvReplyForAnotherItemIsPassedOver) {
  const std::string late90 = NvReply(0x26, 90, 0x90, 0);
  const std::string own141 = NvReply(0x26, 141, 0x41, 0);
  struct Case {
    const char* name;
    std::vector<ScriptedReply> replies;
    bool ok;
    int writes;
  };
  const Case cases[] = {
      {"the late reply, then the own one", {{5, late90, 40, own141}}, true, 1},
      {"both in one burst", {{5, late90 + own141}}, true, 1},
      {"the own one 1.9 s after the late one", {{5, late90, 1900, own141}}, true, 1},
      {"the own one after the time-out: the next attempt's", {{5, late90, 2100, ""}, {5, own141}},
       true, 2},
      {"only replies for item 90", {{5, late90}, {5, late90}, {5, late90}}, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script_.replies.assign(c.replies.begin(), c.replies.end());
    script_.writes = 0;
    clock_.Advance(5000);  // nothing of the last case is left in flight
    NvData data{};
    uint16_t status = 0;
    EXPECT_EQ(ReadNvItem(channel_, 141, data, status), c.ok);
    EXPECT_EQ(script_.writes, c.writes);
    if (c.ok) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(data[0], 0x41);
    } else {
      EXPECT_EQ(status, kNvStatusNoReply);
      EXPECT_EQ(data, NvData{});
      EXPECT_EQ(channel_.ErrorText(),
                "cannot read #141 NVItem, since The Received Data from the Phone Answers Another "
                "Request");
    }
  }
}

TEST_F(DiagTest, AWriteIsConfirmedOnlyByTheValueWritten) {
  NvData data{};
  data.fill(0x5A);
  uint16_t status = 0;
  // Item 141 with another value, and item 90 with this value: neither confirms this write.
  for (int i = 0; i < 3; ++i) Reply(NvReply(0x27, 141, 0x5B, 0) + NvReply(0x27, 90, 0x5A, 0));
  EXPECT_FALSE(WriteNvItem(channel_, 141, data, status));
  EXPECT_EQ(status, kNvStatusNoReply);
  EXPECT_EQ(script_.writes, 3);

  clock_.Advance(5000);
  Reply(NvReply(0x27, 90, 0x5A, 0), 5);
  script_.replies.back().second_delay_ms = 30;
  script_.replies.back().second_text = NvReply(0x27, 141, 0x5A, 5);
  EXPECT_FALSE(WriteNvItem(channel_, 141, data, status));
  EXPECT_EQ(status, 5);  // its own answer, refused
}

// The nine fields at the given widths, each filled with its own letter and followed by a
// zero byte, then the two trailing texts.
std::vector<uint8_t> VersionFields(const std::vector<size_t>& widths) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < widths.size(); ++i) {
    out.insert(out.end(), widths[i], static_cast<uint8_t>('a' + i));
    out.push_back(0);
  }
  out.insert(out.end(), 22, 'z');
  return out;
}

TEST(ParseVersionSet, ChoosesTheLayoutByRawLength) {
  const std::vector<size_t> kLong = {30, 30, 30, 30, 30, 30, 30, 30, 31};
  const std::vector<size_t> kEight = {30, 30, 30, 30, 30, 30, 30, 30};
  const std::vector<size_t> kFour = {30, 30, 30, 30};
  const std::vector<size_t> kShort = {22, 22, 24, 24};
  const std::pair<size_t, const std::vector<size_t>*> cases[] = {
      {130, &kShort}, {131, &kFour}, {200, &kFour}, {240, &kFour},
      {241, &kEight}, {290, &kEight}, {291, &kLong},
  };
  for (const auto& [raw_length, widths] : cases) {
    SCOPED_TRACE(raw_length);
    auto fields = VersionFields(*widths);
    VersionSet texts = ParseVersionSet(fields.data(), fields.size(), raw_length);
    for (size_t i = 0; i < kVersionTexts; ++i) {
      SCOPED_TRACE(i + 1);
      const size_t width = i < widths->size() ? (*widths)[i] : 0;
      EXPECT_EQ(texts[i], std::string(width, static_cast<char>('a' + i)));
    }
  }
}

TEST(ParseVersionSet, AShortReplyLeavesMissingTextsEmpty) {
  const uint8_t fields[] = {'V', '1', 0, 0};
  VersionSet texts = ParseVersionSet(fields, sizeof fields, 300);
  EXPECT_EQ(texts[0], "V1");
  for (size_t i = 1; i < kVersionTexts; ++i) EXPECT_EQ(texts[i], "");
}

TEST_F(DiagTest, QueryVersionSetUsesTheRawLengthOfTheReply) {
  std::vector<uint8_t> packet = {0x39};
  auto fields = VersionFields({30, 30, 30, 30, 30, 30, 30, 30, 31});
  packet.insert(packet.end(), fields.begin(), fields.end());
  std::string frame = Framed(packet);
  ASSERT_GT(frame.size(), 290u);
  Reply(frame);
  VersionSet texts;
  ASSERT_TRUE(QueryVersionSet(channel_, texts));
  EXPECT_EQ(texts[8], std::string(31, 'i'));  // the model tag keeps all 31 characters

  EXPECT_FALSE(QueryVersionSet(channel_, texts));
  EXPECT_EQ(texts[0], "");
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot get four software version from the mobile, Since Port Cannot Receive Desired "
            "Data from the Phone");
}

TEST_F(DiagTest, QueryBuildIdSkipsTheNumbersBeforeTheText) {
  std::vector<uint8_t> packet = {0x7C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const std::string text = "M6280-BUILD-42";
  packet.insert(packet.end(), text.begin(), text.end());
  packet.resize(1 + 11 + kBuildIdBytes, 0);
  Reply(Framed(packet));
  std::string build_id;
  ASSERT_TRUE(QueryBuildId(channel_, build_id));
  EXPECT_EQ(build_id, text);

  EXPECT_FALSE(QueryBuildId(channel_, build_id));
  EXPECT_EQ(build_id, "");
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot get software version from the mobile, Since Port Cannot Receive Desired Data "
            "from the Phone");
}

std::string DownloadCheckReply(uint32_t result) {
  std::vector<uint8_t> packet = {0x4B, 0xA3, 0x05, 0x00, static_cast<uint8_t>(result), 0, 0, 0};
  return Framed(packet);
}

TEST_F(DiagTest, DownloadCheckJudgesTheLastOfThreeReplies) {
  struct Case {
    const char* name;
    std::string reply;
    bool ok;
    int result;
    const char* error;
  } cases[] = {
      {"accepted", DownloadCheckReply(0), true, 0, "earlier"},
      {"public key", DownloadCheckReply(1), false, 1,
       "Cannot pass the download check, Since public key error"},
      {"main version", DownloadCheckReply(2), false, 2,
       "Cannot pass the download check, Since main ver error"},
      {"compare version", DownloadCheckReply(3), false, 3,
       "Cannot pass the download check, Since compare ver error"},
      {"unknown result", DownloadCheckReply(9), false, 9, "earlier"},
      {"wrong header", Framed("4b a4 05 00 00 00 00 00"), false, -1, "earlier"},
  };
  VersionRecord record{};
  record[0] = 0x2C;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    channel_.SetErrorText("earlier");
    script_.writes = 0;
    for (int i = 0; i < 3; ++i) Reply(c.reply);
    int result = 0;
    EXPECT_EQ(DownloadCheck(channel_, record, result), c.ok);
    EXPECT_EQ(script_.writes, 3);  // sent three times even when the first reply accepts
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(channel_.ErrorText(), c.error);
    EXPECT_EQ(script_.last_write.size(), 4u + 128 + 3);
  }
  int result = 0;
  EXPECT_FALSE(DownloadCheck(channel_, record, result));
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot pass the download check, Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagTest, SubsystemSwitchesWantTheirExactReply) {
  Reply(Framed("4b aa 00 00 00"));
  EXPECT_TRUE(SubsystemAA(channel_, 1));
  EXPECT_EQ(ToHex(script_.last_write.substr(0, 5)), "4b aa 00 00 01");
  Reply(Framed("4b a1 00 00 00"));
  EXPECT_TRUE(SetAutorun(channel_, 0));
  channel_.SetErrorText("earlier");
  Reply(Framed("4b a1 00 00 01"));
  EXPECT_FALSE(SetAutorun(channel_, 0));
  EXPECT_EQ(channel_.ErrorText(), "earlier");
  EXPECT_FALSE(SetAutorun(channel_, 0));
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot Set Autorun , Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagTest, CheckCommunicationFallsBackToTheAtProbe) {
  Silence();                                   // ESN
  Reply("at$qcdmg\r\r\nok\r\n", 20);           // the probe, any letter case
  EXPECT_TRUE(CheckCommunication(channel_));
  EXPECT_EQ(script_.last_write, "AT$QCDMG\r");

  Silence();
  Reply("AT$QCDMG\r\r\nERROR\r\n", 20);
  Reply(Framed("01 01 00 00 00"));             // the second ESN query answers
  EXPECT_TRUE(CheckCommunication(channel_));

  EXPECT_FALSE(CheckCommunication(channel_));
  EXPECT_EQ(channel_.ErrorText(),
            "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, "
            "Since Port Cannot Receive Desired Data from the Phone");
}

TEST_F(DiagTest, ReadDeviceVersionTakesTheFirstSourceThatAnswers) {
  std::vector<uint8_t> version_set = {0x39, 'F', 'W', '1'};
  version_set.resize(140, 0);
  std::vector<uint8_t> build_id = {0x7C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'B', 'I', 'D'};
  build_id.resize(12 + kBuildIdBytes, 0);
  struct Case {
    const char* name;
    std::vector<std::string> replies;  // empty string: silence
    bool found;
    const char* text;
  } cases[] = {
      {"version set", {Framed("01 ef be ad de"), Framed(version_set)}, true, "FW1"},
      {"build id", {Framed("01 ef be ad de"), "", Framed(build_id)}, true, "BID"},
      {"esn", {Framed("01 ef be ad 0e"), "", "", Framed("01 ef be ad 0e")}, true, "eadbeef"},
      {"nothing after the esn", {Framed("01 ef be ad de"), "", "", ""}, false, "NULL"},
      {"no device", {"", "", ""}, false, "NULL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script_.replies.clear();
    for (const auto& r : c.replies) Reply(r);
    std::string text;
    EXPECT_EQ(ReadDeviceVersion(channel_, text), c.found);
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
}  // namespace flotilla::protocol
