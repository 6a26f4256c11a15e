// Framing and unframing with the 0x7D escapes and the FCS-16 check.
#include "protocol/framing.h"

#include <cstring>

#include "protocol/fcs16.h"

namespace flotilla::protocol {
namespace {

bool NeedsEscape(uint8_t b) { return b == kFlag || b == kEscape; }

}  // namespace

size_t FramePacket(PacketMode mode, const uint8_t* packet, size_t length, uint8_t* out,
                   size_t capacity) {
  uint16_t fcs = Fcs16(packet, length);
  const uint8_t fcs_bytes[2] = {static_cast<uint8_t>(fcs & 0xFF), static_cast<uint8_t>(fcs >> 8)};

  size_t n = 0;
  auto put = [&](uint8_t b) {
    if (n >= capacity) return false;
    out[n++] = b;
    return true;
  };
  auto put_escaped = [&](uint8_t b) {
    if (!NeedsEscape(b)) return put(b);
    return put(kEscape) && put(static_cast<uint8_t>(b ^ kEscapeXor));
  };

  if (HasLeadingFlag(mode) && !put(kFlag)) return 0;
  for (size_t i = 0; i < length; ++i)
    if (!put_escaped(packet[i])) return 0;
  for (uint8_t b : fcs_bytes)
    if (!put_escaped(b)) return 0;
  if (!put(kFlag)) return 0;
  return n;
}

const char* UnframeErrorText(UnframeStatus status) {
  switch (status) {
    case UnframeStatus::Ok: return "";
    case UnframeStatus::NoEndFlag: return "the Received Data is Wrong without End Flag(0x7e)";
    case UnframeStatus::BadFcs: return "the Received Data is Wrong with Wrong CRC Checksum";
  }
  return "";
}

UnframeStatus UnframeInPlace(PacketMode mode, uint8_t* data, size_t& length, size_t capacity) {
  if (length > capacity) length = capacity;
  size_t start = 0;
  if (HasLeadingFlag(mode)) {
    if (length == 0 || data[0] != kFlag) {
      // The opening flag went missing on the way; put it back so the rest lines up.
      if (length + 1 > capacity) {
        length = 0;
        return UnframeStatus::NoEndFlag;
      }
      std::memmove(data + 1, data, length);
      data[0] = kFlag;
      ++length;
    }
    start = 1;
  }

  // Unescape in place: the write position never passes the read position. An escaped 0x7E
  // (0x7D 0x5E) is data, so only a flag that arrived as itself can close the frame.
  size_t out = 0;
  bool last_was_escaped = false;
  for (size_t in = start; in < length; ++in) {
    uint8_t b = data[in];
    last_was_escaped = false;
    if (b == kEscape) {
      last_was_escaped = true;
      if (++in >= length) break;  // a frame cut off after an escape has no end flag
      b = static_cast<uint8_t>(data[in] ^ kEscapeXor);
    }
    data[out++] = b;
  }

  if (out == 0 || data[out - 1] != kFlag || last_was_escaped) {
    length = 0;
    return UnframeStatus::NoEndFlag;
  }
  length = out - 1;
  if (length == 0 || Fcs16Update(kFcsInit, data, length) != kFcsGood) return UnframeStatus::BadFcs;
  return UnframeStatus::Ok;
}

}  // namespace flotilla::protocol
