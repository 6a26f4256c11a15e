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

// Waits for bytes of a stream-write reply with a sleep that grows by 1 ms per poll, so a
// quick reply is seen at once and a long erase costs few polls. `sleep_ms` carries the
// growing sleep across the waits of one exchange. Returns the waiting count once it holds
// still, 0 when nothing came before the limit; `elapsed_ms` is the time since `start`.
uint32_t AwaitStreamReply(PhoneChannel& channel, uint32_t start, uint32_t& sleep_ms,
                          uint32_t& elapsed_ms) {
  platform::Clock& clock = channel.Clock();
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

// Unescapes a frame's inside in place and returns its packet length with the FCS, or 0 when
// the FCS does not hold (an empty frame never holds).
size_t CheckedPacket(uint8_t* inside, size_t length) {
  size_t out = 0;
  for (size_t in = 0; in < length; ++in) {
    uint8_t b = inside[in];
    if (b == kEscape && in + 1 < length) b = static_cast<uint8_t>(inside[++in] ^ kEscapeXor);
    inside[out++] = b;
  }
  if (out == 0 || Fcs16Update(kFcsInit, inside, out) != kFcsGood) return 0;
  return out;
}

}  // namespace

StreamReplyScan ScanStreamWriteReply(uint8_t* data, size_t length, uint32_t address) {
  StreamReplyScan scan;
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
    scan.consumed = i + 1;
    const size_t packet_length = CheckedPacket(data + open + 1, i - open - 1);
    if (packet_length == 0) {
      scan.verdict = StreamReplyScan::Verdict::Damaged;
      return scan;
    }
    const uint8_t* packet = data + open + 1;
    const size_t fields = packet_length - 2;  // code and fields, without the FCS
    if (packet[0] == stream_code::kError) {
      scan.verdict = StreamReplyScan::Verdict::Refused;
      scan.reason = ReasonOf(packet, fields);
      return scan;
    }
    // Only a block-written frame with this block's address confirms it; one for another
    // address answers an earlier request that was given up on, and is passed over. The
    // probe is not written anywhere, so any block-written frame answers it.
    if (packet[0] == stream_code::kBlockWritten && fields >= 5 &&
        (address == kStreamProbeAddress || ReadLe32(packet + 1) == address))
      scan.verdict = StreamReplyScan::Verdict::Written;
  }
  // A frame still open at the end is incomplete: the caller keeps it and waits for the rest.
  if (!in_frame) scan.consumed = length;
  return scan;
}

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
  if (channel.ReplyCode() == kError) {
    channel.SetErrorReason(ReasonOf(channel.ReceiveBuffer(), channel.ReceiveLength() >= 2
                                                                  ? channel.ReceiveLength() - 2
                                                                  : 0));
    return false;
  }
  if (channel.ReplyCode() == static_cast<uint8_t>(channel.RequestCommand() + 1)) return true;
  channel.SetErrorText("The Received Data from the Phone Answers Another Request");
  return false;
}

bool StreamExchange(PhoneChannel& channel, uint32_t address) {
  const uint32_t frame_length = channel.FrameRequest();
  if (frame_length == 0) return false;
  if (channel.Port().WriteStream(channel.TransmitBuffer(), frame_length) != frame_length) {
    channel.SetErrorText("Port Cannot Send desired data to the Phone");
    return false;
  }
  const uint32_t start = channel.Clock().TickCount();
  uint32_t sleep_ms = 2;
  uint8_t* data = channel.ReceiveBuffer();
  size_t held = 0;  // an incomplete frame kept from the last read, at the buffer's start
  channel.SetReceiveLength(0);
  for (;;) {
    uint32_t elapsed_ms = 0;
    const uint32_t waiting = AwaitStreamReply(channel, start, sleep_ms, elapsed_ms);
    channel.SetErrorText(FormatText("time is %d(ms)", static_cast<int>(elapsed_ms)));
    // A block that got no confirmation within the limit was not written as far as we know,
    // so it counts as not written and the caller sends it again.
    if (waiting == 0) return false;

    // The receive buffer has one byte more than the largest reply, for a missing opening flag;
    // a frame kept from the last read may already fill it (with that inserted flag).
    if (held >= PhoneChannel::kReceiveCapacity) {
      channel.SetErrorText("The Received Data from the Phone is Too Large");
      return false;
    }
    const size_t room = PhoneChannel::kReceiveCapacity - held;
    const uint32_t got = channel.Port().Read(data + held + 1,
                                             static_cast<uint32_t>(waiting < room ? waiting : room));
    if (got == 0) return false;
    size_t length = held + got;
    if (held > 0 || data[held + 1] == kFlag) {
      std::memmove(data + held, data + held + 1, got);
    } else {
      data[0] = kFlag;
      ++length;
    }
    channel.SetReceiveLength(length);

    const StreamReplyScan scan = ScanStreamWriteReply(data, length, address);
    switch (scan.verdict) {
      case StreamReplyScan::Verdict::Written:
        return true;
      case StreamReplyScan::Verdict::Refused:
        channel.SetErrorReason(scan.reason);
        channel.SetErrorText(StreamErrorText(scan.reason));
        return false;
      case StreamReplyScan::Verdict::Damaged:
        channel.SetErrorText("the Received Data is Wrong with CRC Checksum");
        return false;
      case StreamReplyScan::Verdict::Unconfirmed:
        break;
    }
    // A stick that keeps sending other blocks' answers still gets no more than the limit.
    if (elapsed_ms > kStreamReplyLimitMs) return false;
    // Nothing for this block yet: keep the incomplete frame, drop the rest, wait on.
    held = length - scan.consumed;
    if (held) std::memmove(data, data + scan.consumed, held);
  }
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
  if (Request(channel, kWrite, fields, 4 + length) && StreamExchange(channel, address)) return true;
  return FailWith(channel, "Write a Block of Data to Memory Failed, Since %s");
}

bool StreamClose(PhoneChannel& channel) { return Exchange(channel, kClose, nullptr, 0, 3, 20000); }

bool StreamReset(PhoneChannel& channel) { return Exchange(channel, kReset, nullptr, 0, 3, 20000); }

}  // namespace flotilla::protocol
