// The DIAG command set: request builders, reply readers and the operations with their texts.
#include "protocol/diag.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/diag_codes.h"
#include "protocol/operation_text.h"
#include "protocol/transact.h"

namespace flotilla::protocol {
namespace {

using namespace diag_code;

// Reads fields of a reply in order; what the reply does not hold reads as zero, so a short
// reply never exposes bytes beyond what was received. Zero stands in only for texts: a reply
// whose status or value would be read past its end is refused before it gets here (see
// ExpectReplyFields).
class FieldReader {
 public:
  FieldReader(const uint8_t* data, size_t length) : data_(data), length_(length) {}

  uint8_t Byte() { return pos_ < length_ ? data_[pos_++] : (pos_++, uint8_t{0}); }
  uint16_t Le16() {
    uint8_t b[2] = {Byte(), Byte()};
    return ReadLe16(b);
  }
  uint32_t Le32() {
    uint8_t b[4] = {Byte(), Byte(), Byte(), Byte()};
    return ReadLe32(b);
  }
  void Bytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Byte();
  }
  // A text of fixed width, cut at its first zero byte.
  std::string Text(size_t width) {
    std::string text;
    bool ended = false;
    for (size_t i = 0; i < width; ++i) {
      char c = static_cast<char>(Byte());
      if (c == '\0') ended = true;
      if (!ended) text.push_back(c);
    }
    return text;
  }
  // Skips one zero byte when the reply holds one here.
  void SkipZero() {
    if (pos_ < length_ && data_[pos_] == 0) ++pos_;
  }
  void Skip(size_t n) { pos_ += n; }

 private:
  const uint8_t* data_;
  size_t length_;
  size_t pos_ = 0;
};

FieldReader Reply(const PhoneChannel& channel) {
  return FieldReader(channel.ReplyFields(), channel.ReplyFieldsLength());
}

bool Request(PhoneChannel& channel, uint8_t code, const uint8_t* fields, size_t length) {
  channel.ResetForRequest();
  channel.SetMode(PacketMode::Diag);
  return channel.SetRequest(code, fields, length);
}

// A request whose reply must hold at least `reply_fields` bytes after its code.
bool RequestExpecting(PhoneChannel& channel, uint8_t code, const uint8_t* fields, size_t length,
                      size_t reply_fields) {
  if (!Request(channel, code, fields, length)) return false;
  channel.ExpectReplyFields(reply_fields);
  return true;
}

bool ModeChange(PhoneChannel& channel, uint16_t mode, uint32_t timeout_ms) {
  uint8_t fields[2];
  WriteLe16(fields, mode);
  return Request(channel, kModeChange, fields, sizeof fields) && Transact(channel, 1, timeout_ms);
}

bool RawRequest(PhoneChannel& channel, const uint8_t* packet, size_t length) {
  channel.ResetForRequest();
  channel.SetMode(PacketMode::Raw);
  return channel.SetRawPacket(packet, length);
}

// A Raw reply is judged on its bytes as received.
bool RawReplyIs(const PhoneChannel& channel, const uint8_t* expected, size_t length) {
  return channel.ReceiveLength() >= length &&
         std::memcmp(channel.ReceiveBuffer(), expected, length) == 0;
}

// Item, data and status: an NV reply cut before its status tells nothing.
constexpr size_t kNvReplyFields = 2 + kNvDataBytes + 2;

// A reply counts only when it names the requested item, and for a write also the value
// written: a late answer to an earlier item must never pass for this one's.
constexpr size_t kNvReadEcho = 2;
constexpr size_t kNvWriteEcho = 2 + kNvDataBytes;

bool NvExchange(PhoneChannel& channel, uint8_t code, uint16_t item, const NvData& data) {
  uint8_t fields[kNvReplyFields] = {};
  WriteLe16(fields, item);
  std::memcpy(fields + 2, data.data(), kNvDataBytes);
  if (!RequestExpecting(channel, code, fields, sizeof fields, kNvReplyFields)) return false;
  channel.ExpectEcho(code == kNvWrite ? kNvWriteEcho : kNvReadEcho);
  return Transact(channel, 3, 2000);
}

}  // namespace

const char* NvStatusText(uint16_t status) {
  switch (status) {
    case 1: return "Request is queued";
    case 2: return "Unrecognizable command field";
    case 3: return "The NVM is full";
    case 4: return "Command failed, reason other than NVM was full";
    case 5: return "Variable was not active";
    case 6: return "Bad parameter in command block";
    case 7: return "Parameter is write-protected and thus read only";
    case 8: return "Item not valid for Target";
    case 9: return "free memory exhausted";
    case 10: return "address is not a valid allocation ";
    default: return "";
  }
}

bool QueryEsn(PhoneChannel& channel, uint32_t& esn) {
  esn = kNoEsn;
  if (!RequestExpecting(channel, kEsn, nullptr, 0, 4) || !Transact(channel, 1, 300))
    return FailWith(channel, "Cannot Get the ESN Number of the Phone, Since %s");
  esn = Reply(channel).Le32();
  return true;
}

bool PutOffline(PhoneChannel& channel) {
  return ModeChange(channel, 1, 10000) || FailWith(channel, "Cannot Put the Phone Offline, Since %s");
}

bool ResetPhone(PhoneChannel& channel) {
  return ModeChange(channel, 2, 10000) || FailWith(channel, "Cannot Reset the Phone, Since %s");
}

bool ModeChange4(PhoneChannel& channel) {
  return ModeChange(channel, 4, 2000) || FailWith(channel, "Cannot Put the Phone Offline, Since %s");
}

bool ReadNvItem(PhoneChannel& channel, uint16_t item, NvData& data, uint16_t& status) {
  if (!NvExchange(channel, kNvRead, item, data)) {
    data.fill(0);
    status = kNvStatusNoReply;
    channel.SetErrorText(FormatText("cannot read #%u NVItem, since %s", unsigned{item},
                                channel.ErrorText().c_str()));
    return false;
  }
  FieldReader reply = Reply(channel);
  reply.Skip(2);  // the item number, checked by the exchange
  reply.Bytes(data.data(), kNvDataBytes);
  status = reply.Le16();
  if (status != 0) {
    data.fill(0);
    channel.SetErrorText(
        FormatText("cannot read #%u NV Item, since %s", unsigned{item}, NvStatusText(status)));
    return false;
  }
  return true;
}

bool WriteNvItem(PhoneChannel& channel, uint16_t item, const NvData& data, uint16_t& status) {
  if (!NvExchange(channel, kNvWrite, item, data)) {
    status = kNvStatusNoReply;
    channel.SetErrorText(FormatText("Cannot write #%u NVItem, Since %s", unsigned{item},
                                channel.ErrorText().c_str()));
    return false;
  }
  FieldReader reply = Reply(channel);
  reply.Skip(2 + kNvDataBytes);
  status = reply.Le16();
  if (status != 0) {
    channel.SetErrorText(
        FormatText("Cannot Write #%u NVItem, Since %s", unsigned{item}, NvStatusText(status)));
    return false;
  }
  return true;
}

VersionSet ParseVersionSet(const uint8_t* fields, size_t length, size_t raw_length) {
  // Field widths of texts 1 to 9 by the reply's raw length; 0 means the text is absent.
  static const size_t kLong[9] = {30, 30, 30, 30, 30, 30, 30, 30, 31};
  static const size_t kEight[9] = {30, 30, 30, 30, 30, 30, 30, 30, 0};
  static const size_t kFour[9] = {30, 30, 30, 30, 0, 0, 0, 0, 0};
  static const size_t kShort[9] = {22, 22, 24, 24, 0, 0, 0, 0, 0};
  const size_t* widths = raw_length > 290   ? kLong
                         : raw_length > 240 ? kEight
                         : raw_length > 130 ? kFour
                                            : kShort;
  FieldReader reply(fields, length);
  VersionSet texts;
  for (size_t i = 0; i < kVersionTexts; ++i) {
    if (widths[i] == 0) continue;
    texts[i] = reply.Text(widths[i]);
    reply.SkipZero();
  }
  // The two short texts that follow belong to the firmware and are not passed on.
  return texts;
}

bool QueryVersionSet(PhoneChannel& channel, VersionSet& texts) {
  texts = VersionSet{};
  if (!Request(channel, kVersionSet, nullptr, 0) || !Transact(channel, 1, 300))
    return FailWith(channel, "Cannot get four software version from the mobile, Since %s");
  texts = ParseVersionSet(channel.ReplyFields(), channel.ReplyFieldsLength(),
                          channel.RawReplyLength());
  return true;
}

bool QueryBuildId(PhoneChannel& channel, std::string& build_id) {
  build_id.clear();
  if (!Request(channel, kBuildId, nullptr, 0) || !Transact(channel, 1, 300))
    return FailWith(channel, "Cannot get software version from the mobile, Since %s");
  FieldReader reply = Reply(channel);
  reply.Skip(3 + 4 + 4);
  build_id = reply.Text(kBuildIdBytes);
  return true;
}

bool SwitchToBootDownloader(PhoneChannel& channel) {
  return (Request(channel, kDownloaderSwitch, nullptr, 0) && Transact(channel, 1, 20000)) ||
         FailWith(channel, "Cannot Switch to Downloader, Since %s");
}

bool UnlockServiceProgramming(PhoneChannel& channel) {
  const std::string& spc = channel.ServiceProgrammingCode();
  return Request(channel, kSpcUnlock, reinterpret_cast<const uint8_t*>(spc.data()), spc.size()) &&
         Transact(channel, 1, 2000);
}

bool PrepareDownloader(PhoneChannel& channel) {
  static const uint8_t kFields[] = {0x01, 0x00, 0xC2, 0x01, 0x00};
  return Request(channel, kPrepareDownloader, kFields, sizeof kFields) &&
         Transact(channel, 1, 2000);
}

bool QuerySubsystem4(PhoneChannel& channel) {
  static const uint8_t kFields[] = {0x04, 0x0E, 0x00};
  // The status follows the echoed subsystem, command and a reserved byte.
  if (!RequestExpecting(channel, kSubsystem, kFields, sizeof kFields, 4) ||
      !Transact(channel, 1, 2000))
    return false;
  FieldReader reply = Reply(channel);
  reply.Skip(3);
  return reply.Byte() == 0;  // the status, byte 4 of the reply
}

bool DownloadCheck(PhoneChannel& channel, const VersionRecord& record, int& result) {
  static const uint8_t kHeader[] = {kSubsystem, 0xA3, 0x05, 0x00};
  result = -1;
  uint8_t packet[sizeof kHeader + kVersionRecordBytes];
  std::memcpy(packet, kHeader, sizeof kHeader);
  std::memcpy(packet + sizeof kHeader, record.data(), record.size());
  if (!RawRequest(channel, packet, sizeof packet) || !Transact(channel, 3, 10000))
    return FailWith(channel, "Cannot pass the download check, Since %s");
  if (!RawReplyIs(channel, kHeader, sizeof kHeader) ||
      channel.ReceiveLength() < sizeof kHeader + 4)
    return false;
  result = static_cast<int>(ReadLe32(channel.ReceiveBuffer() + sizeof kHeader));
  switch (result) {
    case 0: return true;
    case 1: channel.SetErrorText("Cannot pass the download check, Since public key error"); break;
    case 2: channel.SetErrorText("Cannot pass the download check, Since main ver error"); break;
    case 3: channel.SetErrorText("Cannot pass the download check, Since compare ver error"); break;
    default: break;
  }
  return false;
}

namespace {

bool SubsystemSwitch(PhoneChannel& channel, uint8_t subcommand, uint8_t parameter, bool& sent) {
  const uint8_t packet[] = {kSubsystem, subcommand, 0x00, 0x00, parameter};
  const uint8_t expected[] = {kSubsystem, subcommand, 0x00, 0x00, 0x00};
  sent = RawRequest(channel, packet, sizeof packet) && Transact(channel, 1, 10000);
  return sent && RawReplyIs(channel, expected, sizeof expected);
}

}  // namespace

bool SubsystemAA(PhoneChannel& channel, uint8_t parameter) {
  bool sent = false;
  return SubsystemSwitch(channel, 0xAA, parameter, sent);
}

bool SetAutorun(PhoneChannel& channel, uint8_t parameter) {
  bool sent = false;
  if (SubsystemSwitch(channel, 0xA1, parameter, sent)) return true;
  return sent ? false : FailWith(channel, "Cannot Set Autorun , Since %s");
}

bool ProbeAtQcdmg(PhoneChannel& channel) {
  static const char kProbe[] = "AT$QCDMG\r";
  static const char kAnswer[] = "AT$QCDMG\r\r\nOK\r\n";
  constexpr uint32_t kAnswerBytes = sizeof kAnswer - 1;
  SerialPort& port = channel.Port();
  port.Write(reinterpret_cast<const uint8_t*>(kProbe), sizeof kProbe - 1);
  channel.Clock().Sleep(100);
  if (port.BytesWaiting() == 0) return false;
  uint8_t got[kAnswerBytes] = {};
  if (port.Read(got, kAnswerBytes) != kAnswerBytes) return false;
  for (uint32_t i = 0; i < kAnswerBytes; ++i) {
    auto lower = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    if (lower(got[i]) != lower(static_cast<uint8_t>(kAnswer[i]))) return false;
  }
  return true;
}

bool CheckCommunication(PhoneChannel& channel) {
  uint32_t esn = 0;
  if (QueryEsn(channel, esn) || ProbeAtQcdmg(channel) || QueryEsn(channel, esn)) return true;
  return FailWith(channel, "Cannot communicate with the mobile, Since %s");
}

bool ReadDeviceVersion(PhoneChannel& channel, std::string& text) {
  VersionSet strings;
  return ReadDeviceVersion(channel, text, strings);
}

bool ReadDeviceVersion(PhoneChannel& channel, std::string& text, VersionSet& strings) {
  text = "NULL";
  strings = VersionSet{};
  if (!CheckCommunication(channel)) return false;
  if (QueryVersionSet(channel, strings)) {
    text = strings[0];
    return true;
  }
  std::string build_id;
  if (QueryBuildId(channel, build_id)) {
    text = build_id;
    return true;
  }
  uint32_t esn = 0;
  if (QueryEsn(channel, esn)) {
    text = FormatText("%x", esn);
    return true;
  }
  return false;
}

}  // namespace flotilla::protocol
