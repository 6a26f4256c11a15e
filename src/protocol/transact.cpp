// Transact: send, wait for the input count to settle, read, check.
#include "protocol/transact.h"

#include "protocol/diag_codes.h"

namespace flotilla::protocol {
namespace {

// NV requests make the firmware touch its flash file system, so their replies take longer
// to start; everything else is answered within a few milliseconds.
constexpr uint32_t kNvPollMs = 30;
constexpr uint32_t kPollMs = 10;

uint32_t PollInterval(const PhoneChannel& channel) {
  bool nv = channel.Mode() == PacketMode::Diag &&
            (channel.RequestCommand() == diag_code::kNvRead ||
             channel.RequestCommand() == diag_code::kNvWrite);
  return nv ? kNvPollMs : kPollMs;
}

// Waits until the input count is non-zero and stops growing, or the time-out passes.
// Returns the count of the last pass's first look.
uint32_t AwaitReply(PhoneChannel& channel, uint32_t timeout_ms) {
  platform::Clock& clock = channel.Clock();
  const uint32_t poll = PollInterval(channel);
  const uint32_t start = clock.TickCount();
  for (;;) {
    uint32_t first = channel.Port().BytesWaiting();
    clock.Sleep(poll);
    uint32_t second = channel.Port().BytesWaiting();
    if (first >= 1 && first == second) return first;
    if (platform::Elapsed(start, clock.TickCount()) > timeout_ms) return first;
  }
}

}  // namespace

const char* DiagErrorText(uint8_t code) {
  switch (code) {
    case 0x13: return "Bad command";
    case 0x14: return "The Request packet has invalid or inconsistent parameters";
    case 0x15: return "The Request packet has an invalid length";
    case 0x18: return "the DMSS isn't in a particular mode";
    case 0x42: return "the correct SPC has not yet been entered to unlock service programming";
    case 0x47: return "the correct Security Password has not yet been entered to unlock the phone";
    default: return "unknow reason";
  }
}

bool Transact(PhoneChannel& channel, uint8_t attempts, uint32_t timeout_ms) {
  const uint32_t frame_length = channel.FrameRequest();
  if (frame_length == 0) return false;
  const PacketMode mode = channel.Mode();
  const uint8_t request_code =
      mode == PacketMode::Raw ? channel.TransmitBuffer()[0] : channel.RequestCommand();
  // Unframing works in the receive buffer only, so the framed request stays in the transmit
  // buffer for every attempt.
  bool raw_all_exchanged = true;

  for (uint8_t attempt = 0; attempt < attempts; ++attempt) {
    if (channel.Port().Write(channel.TransmitBuffer(), frame_length) != frame_length) {
      channel.SetErrorText("Port Cannot Send desired data to the Phone");
      raw_all_exchanged = false;
      continue;
    }
    const uint32_t waiting = AwaitReply(channel, timeout_ms);
    if (waiting == 0) {
      channel.SetErrorText("Port Cannot Receive Desired Data from the Phone");
      raw_all_exchanged = false;
      continue;
    }
    if (waiting > PhoneChannel::kReceiveCapacity) {
      channel.SetErrorText("The Received Data from the Phone is Too Large");
      raw_all_exchanged = false;
      continue;
    }
    channel.SetReceiveLength(0);
    const uint32_t got = channel.Port().Read(channel.ReceiveBuffer(), waiting);
    channel.SetReceiveLength(got);
    if (got == 0) {
      channel.SetErrorText("Port Cannot Receive Desired Data from the Phone");
      raw_all_exchanged = false;
      continue;
    }

    switch (mode) {
      case PacketMode::Diag:
        if (channel.ReceiveBuffer()[0] != request_code) {
          channel.SetErrorText(DiagErrorText(channel.ReceiveBuffer()[0]));
          break;
        }
        if (channel.UnframeReply()) return true;
        break;
      case PacketMode::BootDownload:
      case PacketMode::Streaming:
        if (channel.UnframeReply()) return true;
        break;
      case PacketMode::Raw:
        break;
    }
  }
  return mode == PacketMode::Raw && raw_all_exchanged;
}

}  // namespace flotilla::protocol
