// The streaming download protocol: little-endian packets, multi-frame stream-write replies.
#include "protocol/streaming.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/download_codes.h"
#include "protocol/fcs16.h"
#include "protocol/framing.h"
#include "protocol/operation_text.h"
#include "protocol/transact.h"

namespace flotilla::protocol {
namespace {

using namespace stream_code;

constexpr char kHostName[] = "QCOM fast download protocol host";

bool Request(PhoneChannel& channel, uint8_t code, const uint8_t* fields, size_t length) {
  channel.ResetForRequest();
  channel.SetMode(PacketMode::Streaming);
  return channel.SetRequest(code, fields, length);
}

bool Exchange(PhoneChannel& channel, uint8_t code, const uint8_t* fields, size_t length,
              uint8_t attempts, uint32_t timeout_ms) {
  return Request(channel, code, fields, length) && Transact(channel, attempts, timeout_ms);
}

// The reason of an error frame (code first), read safely from what the frame holds.
uint32_t ReasonOf(const uint8_t* packet, size_t length) {
  uint8_t reason[4] = {};
  for (size_t i = 0; i < 4 && 1 + i < length; ++i) reason[i] = packet[1 + i];
  return ReadLe32(reason);
}

// Waits for the reply of a stream write with a sleep that grows by 1 ms per poll, so a quick
// reply is seen at once and a long erase costs few polls. Returns the waiting count, 0 when
// nothing came within the limit; `elapsed_ms` is the time waited.
uint32_t AwaitStreamReply(PhoneChannel& channel, uint32_t& elapsed_ms) {
  platform::Clock& clock = channel.Clock();
  const uint32_t start = clock.TickCount();
  uint32_t sleep_ms = 2;
  for (;;) {
    clock.Sleep(sleep_ms);
    const uint32_t first = channel.Port().BytesWaiting();
    clock.Sleep(sleep_ms);
    const uint32_t second = channel.Port().BytesWaiting();
    elapsed_ms = platform::Elapsed(start, clock.TickCount());
    if (first >= 1 && first == second) return first;
    ++sleep_ms;
    if (elapsed_ms > kStreamReplyLimitMs) return 0;
  }
}

// Checks every flag-delimited frame of a stream-write reply held in `data`.
bool CheckReplyFrames(PhoneChannel& channel, uint8_t* data, size_t length) {
  size_t open = 0;
  bool in_frame = false;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != kFlag) continue;
    if (!in_frame) {
      in_frame = true;
      open = i;
      continue;
    }
    in_frame = false;
    // Unescape the frame's inside in place; the two flags stay where they are.
    size_t out = open + 1;
    for (size_t in = open + 1; in < i; ++in) {
      uint8_t b = data[in];
      if (b == kEscape && in + 1 < i) b = static_cast<uint8_t>(data[++in] ^ kEscapeXor);
      data[out++] = b;
    }
    const uint8_t* packet = data + open + 1;
    const size_t packet_length = out - (open + 1);
    if (packet_length == 0 || Fcs16Update(kFcsInit, packet, packet_length) != kFcsGood) {
      channel.SetErrorText("the Received Data is Wrong with CRC Checksum");
      return false;
    }
    if (packet[0] == kError) {
      channel.SetErrorText(StreamErrorText(ReasonOf(packet, packet_length - 2)));
      return false;
    }
  }
  return true;
}

}  // namespace

const char* StreamErrorText(uint32_t reason) {
  switch (reason) {
    case 2: return "Invalid destination address";
    case 3: return "Invalid length";
    case 4: return "Unexpected end of packet";
    case 5: return "Invalid Command";
    case 7: return "Operation failed";
    case 8: return "Wrong Flash Intelligent ID";
    case 9: return "Bad programming voltage";
    case 10: return "Write-verify failed";
    case 12: return "Incorrect security code";
    case 13: return "Cannot power down phone";
    case 14: return "NAND flash programming not supported";
    case 15: return "Command out of sequence";
    case 16: return "Close did not succeed";
    case 17: return "Incompatible feature bits";
    case 18: return "Out of space";
    default: return "Illegal reason";
  }
}

bool ParseStreamReply(PhoneChannel& channel) {
  if (channel.ReplyCode() != kError) return true;
  channel.SetErrorReason(ReasonOf(channel.ReceiveBuffer(), channel.ReceiveLength() >= 2
                                                                ? channel.ReceiveLength() - 2
                                                                : 0));
  return false;
}

bool StreamExchange(PhoneChannel& channel) {
  const uint32_t frame_length = channel.FrameRequest();
  if (frame_length == 0) return false;
  if (channel.Port().WriteStream(channel.TransmitBuffer(), frame_length) != frame_length) {
    channel.SetErrorText("Port Cannot Send desired data to the Phone");
    return false;
  }
  uint32_t elapsed_ms = 0;
  const uint32_t waiting = AwaitStreamReply(channel, elapsed_ms);
  channel.SetErrorText(FormatText("time is %d(ms)", static_cast<int>(elapsed_ms)));
  // A block that got no reply within the limit was not confirmed, so it counts as not
  // written and the caller sends it again.
  if (waiting == 0) return false;

  uint8_t* data = channel.ReceiveBuffer();
  channel.SetReceiveLength(0);
  uint32_t got = channel.Port().Read(
      data + 1, waiting < PhoneChannel::kReceiveCapacity ? waiting : PhoneChannel::kReceiveCapacity);
  if (got == 0) return false;
  size_t length = got;
  // The receive buffer has one byte more than the largest reply, for a missing opening flag.
  if (data[1] == kFlag) {
    std::memmove(data, data + 1, got);
  } else {
    data[0] = kFlag;
    ++length;
  }
  channel.SetReceiveLength(length < PhoneChannel::kReceiveCapacity ? length
                                                                   : PhoneChannel::kReceiveCapacity);
  return CheckReplyFrames(channel, data, length);
}

bool StreamHello(PhoneChannel& channel) {
  uint8_t fields[35];
  std::memcpy(fields, kHostName, 32);
  fields[32] = 0x02;  // version
  fields[33] = 0x02;  // compatible version
  fields[34] = 0x03;  // feature bits
  return Exchange(channel, kHello, fields, sizeof fields, 3, 5000);
}

bool StreamNop(PhoneChannel& channel) {
  const uint8_t fields[] = {0x11};
  return Exchange(channel, kNop, fields, sizeof fields, 1, 5000);
}

bool StreamSecurityMode(PhoneChannel& channel) {
  const uint8_t fields[] = {0x01};
  return Exchange(channel, kSecurityMode, fields, sizeof fields, 3, 2000) ||
         FailWith(channel, "Cannot go into security, Since %s");
}

bool StreamPartitionTable(PhoneChannel& channel, const uint8_t* table, uint32_t length) {
  channel.ResetForRequest();
  if (length > kStreamBlockBytes || !channel.SetExtraData(table, length))
    return FailWith(channel, "Cannot download partition, Since %s");
  uint8_t fields[1 + kStreamBlockBytes];
  fields[0] = 0x01;  // override an existing table
  if (length) std::memcpy(fields + 1, channel.ExtraData(), length);
  channel.SetMode(PacketMode::Streaming);
  if (channel.SetRequest(kPartitionTable, fields, 1 + length) && Transact(channel, 1, 100000))
    return true;
  return FailWith(channel, "Cannot download partition, Since %s");
}

bool StreamOpenMultiImage(PhoneChannel& channel, uint8_t type, const uint8_t* header,
                          uint32_t length) {
  channel.ResetForRequest();
  uint8_t fields[1 + kStreamBlockBytes];
  size_t field_length = 0;
  switch (type) {
    case 1: case 2: case 3: case 9:
      fields[0] = type;
      field_length = 1;
      break;
    case 4: case 5: case 10:
      if (length > kStreamBlockBytes || !channel.SetExtraData(header, length))
        return FailWith(channel, "Cannot open multi-image, Since %s");
      fields[0] = type;
      if (length) std::memcpy(fields + 1, channel.ExtraData(), length);
      field_length = 1 + length;
      break;
    default:
      break;
  }
  channel.SetMode(PacketMode::Streaming);
  if (channel.SetRequest(kOpenMultiImage, fields, field_length) && Transact(channel, 2, 25000))
    return true;
  return FailWith(channel, "Cannot open multi-image, Since %s");
}

bool StreamWrite(PhoneChannel& channel, const uint8_t* data, uint32_t address, uint32_t length) {
  uint8_t fields[4 + kStreamBlockBytes];
  if (length > kStreamBlockBytes) {
    channel.SetErrorText(StreamErrorText(3));
    return FailWith(channel, "Write a Block of Data to Memory Failed, Since %s");
  }
  WriteLe32(fields, address);
  if (length) std::memcpy(fields + 4, data, length);
  if (Request(channel, kWrite, fields, 4 + length) && StreamExchange(channel)) return true;
  return FailWith(channel, "Write a Block of Data to Memory Failed, Since %s");
}

bool StreamClose(PhoneChannel& channel) { return Exchange(channel, kClose, nullptr, 0, 3, 20000); }

bool StreamReset(PhoneChannel& channel) { return Exchange(channel, kReset, nullptr, 0, 3, 20000); }

}  // namespace flotilla::protocol
