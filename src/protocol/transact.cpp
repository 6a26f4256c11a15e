// Transact: send, wait for the input count to settle, read, check.
#include "protocol/transact.h"

#include <array>
#include <cstring>

#include "protocol/diag_codes.h"
#include "protocol/framing.h"

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

// Waits until the input count is non-zero and stops growing, or more than the time-out has
// passed since `start`. Returns the count of the last pass's first look.
uint32_t AwaitReply(PhoneChannel& channel, uint32_t start, uint32_t timeout_ms) {
  platform::Clock& clock = channel.Clock();
  const uint32_t poll = PollInterval(channel);
  for (;;) {
    uint32_t first = channel.Port().BytesWaiting();
    clock.Sleep(poll);
    uint32_t second = channel.Port().BytesWaiting();
    if (first >= 1 && first == second) return first;
    if (platform::Elapsed(start, clock.TickCount()) > timeout_ms) return first;
  }
}

constexpr char kAnotherRequest[] = "The Received Data from the Phone Answers Another Request";

// One attempt's wait for a DIAG reply that must repeat part of its request. The bytes come in
// whole frames, each closed by its flag; a frame that answers another request (a reply given
// up on earlier that came late) is passed over, and the wait goes on until the attempt's
// time-out. True with the reply unframed in the receive buffer.
bool AwaitEchoedReply(PhoneChannel& channel, uint8_t request_code, uint32_t start,
                      uint32_t timeout_ms) {
  std::array<uint8_t, PhoneChannel::kReceiveCapacity> pending{};
  size_t held = 0;
  bool passed_over = false;
  for (;;) {
    const uint32_t waiting = AwaitReply(channel, start, timeout_ms);
    if (waiting == 0) {
      if (held == 0) {
        channel.SetErrorText(passed_over ? kAnotherRequest
                                         : "Port Cannot Receive Desired Data from the Phone");
        return false;
      }
      // What is left never closed: it fails its checks below like any cut reply.
    } else {
      if (waiting > pending.size() - held) {
        channel.SetErrorText("The Received Data from the Phone is Too Large");
        return false;
      }
      const uint32_t got = channel.Port().Read(pending.data() + held, waiting);
      if (got == 0 && held == 0) {
        channel.SetErrorText("Port Cannot Receive Desired Data from the Phone");
        return false;
      }
      held += got;
    }
    for (;;) {
      const uint8_t* end = static_cast<const uint8_t*>(std::memchr(pending.data(), kFlag, held));
      // An unclosed frame waits for its rest, unless the wait is over.
      if (end == nullptr && waiting != 0) break;
      const size_t frame = end ? static_cast<size_t>(end - pending.data()) + 1 : held;
      channel.SetReceiveLength(0);
      channel.AppendReceived(pending.data(), frame);
      std::memmove(pending.data(), pending.data() + frame, held - frame);
      held -= frame;
      if (channel.ReceiveBuffer()[0] != request_code) {
        channel.SetErrorText(DiagErrorText(channel.ReceiveBuffer()[0]));
        return false;
      }
      if (!channel.UnframeReply()) return false;
      if (channel.ReplyEchoesRequest()) return true;
      passed_over = true;
      channel.SetErrorText(kAnotherRequest);
      if (held == 0) break;
    }
    if (waiting == 0) return false;
    if (platform::Elapsed(start, channel.Clock().TickCount()) > timeout_ms) return false;
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
    const uint32_t start = channel.Clock().TickCount();
    if (mode == PacketMode::Diag && channel.ExpectedEcho() != 0) {
      if (AwaitEchoedReply(channel, request_code, start, timeout_ms)) return true;
      continue;
    }
    const uint32_t waiting = AwaitReply(channel, start, timeout_ms);
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
