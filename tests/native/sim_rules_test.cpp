// The rules the simulated stick holds its clients to, one row each: a request sequence from
// a known starting point and the answer to its last request.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "sim_stick_fixture.h"
#include "test_bytes.h"

namespace flotilla::sim {
namespace {

using test::Bytes;
using test::Hex;

// Where a row starts: the firmware, the boot downloader, or the flash programmer (started
// from the upload of kProgrammer; greeted, or greeted with its security mode and partition
// table accepted).
enum class From { Firmware, BootDownloader, Programmer, Greeted, Ready };

constexpr char kProgrammer[] = "PRG!";

std::string Ascii(const std::string& text) { return Hex(std::vector<uint8_t>(text.begin(), text.end())); }
std::string Zeros(size_t n) { return Hex(std::vector<uint8_t>(n, 0)); }

const std::string kHostMagic = Ascii("QCOM fast download protocol host");
const std::string kHello = "01 " + kHostMagic + " 02 02 03";
const std::string kTable = "19 01 " + Ascii("FLPT");
const std::string kPrepare = "5c 01 00 c2 01 00";
const std::string kBlock = "07 00 00 00 00 5a";
const std::string kProbe = "07 ff ff ff ff 5a";

// One request: a packet framed as the stick's current protocol frames it (or, with
// `unflagged`, without the opening flag), or an AT command line without its CR.
struct Request {
  std::string text;
  bool at = false;
  bool unflagged = false;
};
Request At(const std::string& line) { return {line, true, false}; }
Request Unflagged(const std::string& hex) { return {hex, false, true}; }

struct Rule {
  const char* rule;
  From start;
  std::vector<Request> requests;
  // The answer to the last request: the packet in hex (FCS and framing removed), the text on
  // the AT port, empty for silence; "..." at the end compares the beginning only.
  std::string answer;
  void (*configure)(StickConfig&) = nullptr;
  std::optional<StickMode> mode_after = std::nullopt;
};

class SimRulesTest : public StickFixture {
 protected:
  void StartAt(From start) {
    config_.check_programmer = true;
    config_.programmer.assign(kProgrammer, kProgrammer + sizeof kProgrammer - 1);
    Start();
    if (start == From::Firmware) return;
    for (const char* hex : {"29 01 00", kPrepare.c_str(), "3a"}) Send({hex});
    clock_.Advance(config_.reset_drop_ms + config_.reenum_ms + kSettleMs);
    stick_->Update();
    diag_ = stick_->CreateSerialDevice();
    ASSERT_TRUE(diag_->Open(kDiagPort, 115200, 8, 1));
    ASSERT_EQ(stick_->Model().Mode(), StickMode::BootDownloader);
    if (start == From::BootDownloader) return;
    Send({"0f 00 80 00 00 00 04 " + Ascii(kProgrammer)});
    Send({"05 00 80 00 00"});
    ASSERT_EQ(stick_->Model().Mode(), StickMode::FlashProgrammer);
    if (start == From::Programmer) return;
    Send({kHello});
    if (start == From::Greeted) return;
    Send({"17 01"});
    Send({kTable});
  }

  // The answer to one request, unframed in the protocol the stick speaks.
  std::string Send(const Request& r) {
    if (r.at) {
      const std::vector<uint8_t> reply = SendRaw(*at_, Text(r.text + "\r"));
      return std::string(reply.begin(), reply.end());
    }
    const bool flagged = stick_->Model().Mode() != StickMode::Firmware;
    const protocol::PacketMode mode = flagged && !r.unflagged ? protocol::PacketMode::BootDownload
                                                              : protocol::PacketMode::Diag;
    std::vector<uint8_t> reply = SendRaw(*diag_, FrameIn(mode, Bytes(r.text)));
    if (reply.empty()) return "";
    size_t length = reply.size();
    const auto status = protocol::UnframeInPlace(flagged ? protocol::PacketMode::BootDownload
                                                         : protocol::PacketMode::Diag,
                                                 reply.data(), length, reply.size());
    if (status != protocol::UnframeStatus::Ok || length < 2) return "unframeable " + Hex(reply);
    return Hex(reply.data(), length - 2);
  }

  static std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }
  static std::vector<uint8_t> FrameIn(protocol::PacketMode mode, const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
    frame.resize(protocol::FramePacket(mode, packet.data(), packet.size(), frame.data(), frame.size()));
    return frame;
  }
};

bool Matches(const std::string& answer, const std::string& expected) {
  const size_t dots = expected.size() >= 3 ? expected.size() - 3 : std::string::npos;
  if (dots != std::string::npos && expected.compare(dots, 3, "...") == 0) {
    const std::string head = expected.substr(0, dots);
    const size_t end = head.find_last_not_of(' ');
    return answer.compare(0, end + 1, head, 0, end + 1) == 0;
  }
  return answer == expected;
}

TEST_F(SimRulesTest, EachRuleAnswersAsTheStickDoes) {
  const std::string fw = StickConfig().firmware_version;
  const std::string open_half_written = "1b 02\n" + kBlock;
  const Rule rules[] = {
      // The flash programmer's order.
      {"the partition table needs the security mode first", From::Greeted, {{kTable}}, "0d 0f 00 00 00"},
      {"an open needs the security mode first", From::Greeted, {{"1b 02"}}, "0d 0f 00 00 00"},
      {"an open needs the partition table", From::Greeted, {{"17 01"}, {"1b 02"}}, "0d 0f 00 00 00"},
      {"security mode 1 only", From::Greeted, {{"17 00"}}, "0d 0c 00 00 00"},
      {"the partition table only with the override flag", From::Greeted, {{"17 01"}, {"19 00 " + Ascii("FLPT")}},
       "0d 07 00 00 00"},
      {"one image open at a time", From::Ready, {{"1b 02"}, {"1b 03"}}, "0d 0f 00 00 00"},
      {"no probe while an image is half-written", From::Ready, {{"1b 02"}, {kBlock}, {kProbe}}, "0d 0f 00 00 00"},
      {"no security mode while an image is half-written", From::Ready, {{"1b 02"}, {kBlock}, {"17 01"}},
       "0d 0f 00 00 00"},
      {"after the close the probe waits for a no-op", From::Ready, {{"1b 02"}, {kBlock}, {"15"}, {kProbe}},
       "0d 0f 00 00 00"},
      {"a close and a no-op clear the way for the probe", From::Ready,
       {{"1b 02"}, {kBlock}, {"15"}, {"09 11"}, {kProbe}}, "08 ff ff ff ff"},
      {"a close and a no-op clear the way for the security mode", From::Ready,
       {{"1b 02"}, {kBlock}, {"15"}, {"09 11"}, {"17 01"}}, "18"},
      {"a block of 1024 bytes is taken", From::Ready, {{"1b 02"}, {"07 00 00 00 00 " + Zeros(1024)}},
       "08 00 00 00 00"},
      {"a block above 1024 bytes is refused", From::Ready, {{"1b 02"}, {"07 00 00 00 00 " + Zeros(1025)}},
       "0d 03 00 00 00"},
      // Frames need their opening flag in both download modes.
      {"the boot downloader ignores a frame without its opening flag", From::BootDownloader,
       {Unflagged("06")}, ""},
      {"the programmer ignores a frame without its opening flag", From::Greeted, {Unflagged("09 11")}, ""},
      // The firmware's switch and readiness.
      {"the switch needs the prepare request", From::Firmware, {{"29 01 00"}, {"3a"}}, "18 3a", nullptr,
       StickMode::Firmware},
      {"the switch while online is refused", From::Firmware, {{kPrepare}, {"3a"}}, "18 3a", nullptr,
       StickMode::Firmware},
      {"prepared and offline, the switch is carried out", From::Firmware, {{"29 01 00"}, {kPrepare}, {"3a"}},
       "3a", nullptr, StickMode::BootDownloader},
      {"online, a stick that needs no offline mode switches", From::Firmware, {{kPrepare}, {"3a"}}, "3a",
       [](StickConfig& c) { c.reset_needs_offline = false; }, StickMode::BootDownloader},
      {"the readiness poll first reports not ready", From::Firmware, {{"4b 04 0e 00"}}, "4b 04 0e 00 01"},
      {"ready after the configured polls", From::Firmware, {{"4b 04 0e 00"}, {"4b 04 0e 00"}, {"4b 04 0e 00"}},
       "4b 04 0e 00 00"},
      {"no polls configured: ready at once", From::Firmware, {{"4b 04 0e 00"}}, "4b 04 0e 00 00",
       [](StickConfig& c) { c.not_ready_polls = 0; }},
      // The boot downloader starts only its programmer.
      {"the go starts what begins with the programmer", From::BootDownloader,
       {{"0f 00 80 00 00 00 08 " + Ascii("WRONGPRG")}, {"0f 00 80 00 00 00 04 " + Ascii(kProgrammer)},
        {"05 00 80 00 00"}},
       "02", nullptr, StickMode::FlashProgrammer},
      {"the go refuses an upload that is not the programmer", From::BootDownloader,
       {{"0f 00 80 00 00 00 04 " + Ascii("PRG?")}, {"05 00 80 00 00"}}, "03 00 07", nullptr,
       StickMode::BootDownloader},
      // What an independent client relies on.
      {"the hello reply cuts its magic to the 32-byte field", From::Programmer, {{kHello}},
       "02 " + Ascii("QCOM fast download protocol targ") + " 02 02 00 04 00 00 00 00 00 00 0b " +
           Ascii("NAND 128MiB") + " 01 00 01 00 00 00 00 08 03"},
      {"a longer hello with a newer compatible version is greeted", From::Programmer,
       {{"01 " + kHostMagic + " 02 23 01 00 00"}}, "02 " + Ascii("QCOM fast download protocol targ") + " ..."},
      {"a hello shorter than 36 bytes is refused", From::Programmer, {{"01 " + kHostMagic + " 02 02"}},
       "0d 03 00 00 00"},
      {"a short NV write is padded and answered in full", From::Firmware, {{"27 16 00 aa bb"}},
       "27 16 00 aa bb " + Zeros(126) + " 00 00"},
      {"a read of just the item number is answered in full", From::Firmware, {{"27 16 00 aa bb"}, {"26 16 00"}},
       "26 16 00 aa bb " + Zeros(126) + " 00 00"},
      {"an NV request above 133 bytes is refused", From::Firmware, {{"26 16 00 " + Zeros(131)}},
       "15 26 16 00 " + Zeros(131)},
      {"AT answers OK", From::Firmware, {At("AT")}, "AT\r\r\nOK\r\n"},
      {"ATE0 turns the echo off", From::Firmware, {At("ATE0"), At("AT+GMR")}, "\r\n" + fw + "\r\n\r\nOK\r\n"},
      {"ATE1 turns it on again", From::Firmware, {At("ATE0"), At("ATE1"), At("AT")}, "AT\r\r\nOK\r\n"},
      {"ATZ restores the echo", From::Firmware, {At("ATE0"), At("ATZ"), At("AT")}, "AT\r\r\nOK\r\n"},
      {"ATI identifies the modem", From::Firmware, {At("ATI")},
       "ATI\r\r\nManufacturer: Flotilla stick-sim\r\nModel: XV418\r\nRevision: " + fw + "\r\nESN: 0x80a1b2c3\r\n..."},
      {"an unknown command is echoed too", From::Firmware, {At("AT+NOPE")}, "AT+NOPE\r\r\nERROR\r\n"},
      {"DIAG 00 answers the version number", From::Firmware, {{"00"}},
       "00 " + Ascii("Mar 12 2010") + " " + Ascii("10:21:07") + " " + Ascii("Mar 12 2010") + " " +
           Ascii("10:21:07") + " " + Ascii("1.0.0B05") + " ea 06 2b 05 01 02 90 e1"},
      {"DIAG 0C answers the status with the ESN", From::Firmware, {{"0c"}}, "0c 00 00 00 c3 b2 a1 80 01 00 ..."},
  };
  for (const Rule& r : rules) {
    SCOPED_TRACE(r.rule);
    config_ = StickConfig();
    if (r.configure) r.configure(config_);
    StartAt(r.start);
    std::string answer;
    for (const Request& request : r.requests) answer = Send(request);
    EXPECT_TRUE(Matches(answer, r.answer)) << "answer:   " << answer << "\nexpected: " << r.answer;
    if (r.mode_after) {
      clock_.Advance(config_.reset_drop_ms + config_.reenum_ms + kSettleMs);
      stick_->Update();
      EXPECT_EQ(stick_->Model().Mode(), *r.mode_after);
    }
  }
}

// Milliseconds of virtual time from a request until the first byte of its answer.
class SimLinkTimeTest : public SimRulesTest {
 protected:
  uint64_t AnswerTime(const std::string& hex) {
    const bool flagged = stick_->Model().Mode() != StickMode::Firmware;
    const auto frame = FrameIn(flagged ? protocol::PacketMode::BootDownload : protocol::PacketMode::Diag, Bytes(hex));
    diag_->Write(frame.data(), static_cast<uint32_t>(frame.size()));
    uint64_t waited = 0;
    while (diag_->BytesWaiting() == 0 && waited < 60000) {
      clock_.Advance(1);
      ++waited;
    }
    clock_.Advance(kSettleMs);
    Drain(*diag_);
    return waited;
  }
};

TEST_F(SimLinkTimeTest, TheProgrammerTakesItsBlockTimeAndOnlyForBlocks) {
  config_.block_program_ms = 250;
  StartAt(From::Ready);
  const uint64_t open = AnswerTime("1b 02");
  const uint64_t block = AnswerTime(kBlock);
  const uint64_t close = AnswerTime("15");
  EXPECT_EQ(block, open + 250);
  EXPECT_EQ(close, open);
}

TEST_F(SimLinkTimeTest, ReplyTimesVaryWithinTheirRangeAndRepeatWithTheSeed) {
  auto times = [&](uint32_t seed) {
    config_ = StickConfig();
    config_.reply_ms_min = 20;
    config_.reply_ms_max = 80;
    config_.reply_seed = seed;
    Start();
    std::vector<uint64_t> out;
    for (int i = 0; i < 20; ++i) out.push_back(AnswerTime("01"));
    return out;
  };
  config_ = StickConfig();
  Start();
  const uint64_t fixed = AnswerTime("01");
  const std::vector<uint64_t> first = times(7);
  EXPECT_EQ(times(7), first);
  EXPECT_NE(times(8), first);
  for (uint64_t t : first) {
    EXPECT_GE(t, fixed + 20);
    EXPECT_LE(t, fixed + 80);
  }
  EXPECT_GT(*std::max_element(first.begin(), first.end()), *std::min_element(first.begin(), first.end()));
}

}  // namespace
}  // namespace flotilla::sim
