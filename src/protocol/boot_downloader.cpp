// The boot downloader protocol: big-endian packets, acknowledges and the parameters reply.
#include "protocol/boot_downloader.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/download_codes.h"
#include "protocol/operation_text.h"
#include "protocol/transact.h"

namespace flotilla::protocol {
namespace {

using namespace dload_code;

bool Request(PhoneChannel& channel, uint8_t code, const uint8_t* fields, size_t length) {
  channel.ResetForRequest();
  channel.SetMode(PacketMode::BootDownload);
  return channel.SetRequest(code, fields, length);
}

// The reply byte at `index` counting the code as 0; 0 when the reply is shorter.
uint8_t ReplyByte(const PhoneChannel& channel, size_t index) {
  return index >= 1 && index - 1 < channel.ReplyFieldsLength() ? channel.ReplyFields()[index - 1] : 0;
}

}  // namespace

const char* DloadNakText(uint16_t reason) {
  switch (reason) {
    case 1: return "invalid frame check sequence";
    case 2: return "destination address is invalid";
    case 3: return "operation length is invalid";
    case 4: return "packet was too short for this cmd";
    case 5: return "packet was too long for phone's buffer";
    case 6: return "packet command code was unknown";
    case 7: return "operation did not succeed";
    case 8: return "intelligent ID code was wrong";
    case 9: return "programming voltage out of spec";
    case 10: return "readback verify did not match";
    case 11: return "not permitted without unlock";
    case 12: return "invalid security code";
    default: return "";
  }
}

bool ParseBootReply(PhoneChannel& channel) {
  if (channel.ReplyCode() != kNak) return true;
  const uint8_t reason[2] = {ReplyByte(channel, 1), ReplyByte(channel, 2)};
  channel.SetErrorText(DloadNakText(ReadBe16(reason)));
  return false;
}

bool DloadNop(PhoneChannel& channel) {
  if (Request(channel, kNop, nullptr, 0) && Transact(channel, 1, 20000) &&
      channel.ReplyCode() == kAck)
    return true;
  return FailWith(channel, "Cannot Do No Operation, Since %s");
}

bool DloadParameters(PhoneChannel& channel, FlashInfo& info) {
  info = FlashInfo{};
  if (!Request(channel, kParameterRequest, nullptr, 0) || !Transact(channel, 1, 20000))
    return FailWith(channel, "Cannot Get flash Information, Since %s");
  if (channel.ReplyCode() == kParameters) {
    const uint8_t size[4] = {ReplyByte(channel, 3), ReplyByte(channel, 4), ReplyByte(channel, 5),
                             ReplyByte(channel, 6)};
    info.protocol_version = ReplyByte(channel, 1);
    info.minimum_version = ReplyByte(channel, 2);
    // This one field comes little-endian, unlike the rest of the protocol.
    info.maximum_write_size = ReadLe32(size);
    info.model = ReplyByte(channel, 7);
    info.device_size_code = ReplyByte(channel, 8);
    info.device_type = ReplyByte(channel, 9);
  }
  return true;
}

bool DloadWrite(PhoneChannel& channel, uint32_t address, const uint8_t* data, uint32_t length) {
  if (length > kDloadMaxWrite) {
    channel.SetErrorText("operation length is invalid");
    return FailWith(channel, "Write a Block of Data to Memory Failed, Since %s");
  }
  uint8_t fields[6 + kDloadMaxWrite];
  WriteBe32(fields, address);
  WriteBe16(fields + 4, static_cast<uint16_t>(length));
  if (length) std::memcpy(fields + 6, data, length);
  if (Request(channel, kWrite32, fields, 6 + length) && Transact(channel, 3, 5000)) return true;
  return FailWith(channel, "Write a Block of Data to Memory Failed, Since %s");
}

bool DloadGo(PhoneChannel& channel, uint16_t segment, uint16_t offset) {
  uint8_t fields[4];
  WriteBe16(fields, segment);
  WriteBe16(fields + 2, offset);
  if (Request(channel, kGo, fields, sizeof fields) && Transact(channel, 3, 2000)) return true;
  return FailWith(channel, "Cannot begin execution at an address, Since %s");
}

bool DloadReset(PhoneChannel& channel) {
  if (Request(channel, kReset, nullptr, 0) && Transact(channel, 3, 2000)) return true;
  return FailWith(channel, "Cannot Reset the Phone, Since %s");
}

}  // namespace flotilla::protocol
