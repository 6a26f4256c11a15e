// The stick's DIAG port: frame splitting on the closing flag, the FCS check, the firmware's
// answers in its own framing, and the faults of the plan.
#include "sim/model/diag_port.h"

#include <algorithm>
#include <cctype>

#include "protocol/framing.h"
#include "protocol/byte_order.h"
#include "sim/model/version_set.h"

namespace flotilla::sim {
namespace {

// Sent unframed on the DIAG port, the modem's switch command is echoed and confirmed.
constexpr char kProbe[] = "AT$QCDMG\r";
constexpr char kProbeAnswer[] = "AT$QCDMG\r\r\nOK\r\n";

bool EndsWithProbe(const std::vector<uint8_t>& bytes) {
  const size_t n = sizeof kProbe - 1;
  if (bytes.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(bytes[bytes.size() - n + i]) != kProbe[i]) return false;
  return true;
}

FaultRequest AsFaultRequest(const std::vector<uint8_t>& request, StickMode mode) {
  FaultRequest r;
  r.port = SimPort::Diag;
  r.code = request[0];
  r.mode = static_cast<int>(mode);
  if (mode != StickMode::Firmware) return r;
  if (request.size() >= 2 && request[0] == 0x4B) r.subsystem = request[1];
  if (request.size() >= 3 && (request[0] == 0x26 || request[0] == 0x27))
    r.nv_item = protocol::ReadLe16(request.data() + 1);
  return r;
}

// Spoils the FCS on the wire: the byte before the closing flag belongs to it. An escaped
// byte becomes the other escape; a plain one changes without turning into a flag or escape.
void SpoilFcs(std::vector<uint8_t>& frame) {
  if (frame.size() < 3) return;
  uint8_t& last = frame[frame.size() - 2];
  if (frame[frame.size() - 3] == protocol::kEscape) {
    last = last == 0x5E ? 0x5D : 0x5E;
    return;
  }
  uint8_t changed = last ^ 0x80;
  if (changed == protocol::kFlag || changed == protocol::kEscape) changed = last ^ 0x40;
  last = changed;
}

}  // namespace

std::string Hex(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
  frame.resize(protocol::FramePacket(protocol::PacketMode::Diag, packet.data(), packet.size(),
                                     frame.data(), frame.size()));
  return frame;
}

std::vector<uint8_t> FrameFlagged(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
  frame.resize(protocol::FramePacket(protocol::PacketMode::BootDownload, packet.data(),
                                     packet.size(), frame.data(), frame.size()));
  return frame;
}

std::vector<Emission> DiagPortModel::Receive(const uint8_t* data, size_t length, uint64_t now_ms) {
  std::vector<Emission> out;
  for (size_t i = 0; i < length; ++i) {
    if (pending_.size() < kMaxFrame) {
      pending_.push_back(data[i]);
    } else {
      overflow_ = true;
    }
    if (data[i] == protocol::kFlag) HandleFrame(now_ms, out);
    else if (data[i] == '\r' && !overflow_ && state_.mode == StickMode::Firmware &&
             EndsWithProbe(pending_) && TakeProbe(now_ms, out)) pending_.clear();
  }
  return out;
}

bool DiagPortModel::TakeProbe(uint64_t now_ms, std::vector<Emission>& out) {
  if (now_ms < stalled_until_ms_) {
    Log("fault: stalled, the diag probe lost");
    return true;
  }
  FaultRequest request;
  request.port = SimPort::Diag;
  request.text = "AT$QCDMG";
  const FaultRule* fault = faults_.Match(request);
  Log("diag: probe \"AT$QCDMG\"");
  if (fault) Log(std::string("fault: ") + FaultActionName(fault->action) + " on the diag probe");
  if (fault && TakeLosingFault(*fault, now_ms)) return true;
  if (fault && fault->action == FaultAction::NoReply) return true;
  const std::string answer = kProbeAnswer;
  for (Emission& e : Schedule(std::vector<uint8_t>(answer.begin(), answer.end()),
                              config_.diag_reply_delay_ms, fault))
    out.push_back(std::move(e));
  return true;
}

bool DiagPortModel::TakeLosingFault(const FaultRule& fault, uint64_t now_ms) {
  switch (fault.action) {
    case FaultAction::Ignore:
      return true;
    case FaultAction::Stall:
      stalled_until_ms_ = now_ms + fault.stall_ms;
      return true;
    case FaultAction::Vanish:
    case FaultAction::Gone:
      state_.Vanish(fault.away_ms, fault.action == FaultAction::Gone);
      return true;
    default:
      return false;
  }
}

void DiagPortModel::HandleFrame(uint64_t now_ms, std::vector<Emission>& out) {
  std::vector<uint8_t> frame;
  frame.swap(pending_);
  if (overflow_) {
    overflow_ = false;
    ++bad_frames_;
    Log("diag: frame too long, dropped");
    return;
  }
  // A lone flag opens the next frame (boot downloader style); it carries nothing.
  if (frame.size() == 1) {
    frame_opened_ = true;
    return;
  }
  const bool opened = frame_opened_;
  frame_opened_ = false;
  if (state_.mode != StickMode::Firmware && !opened) {
    // The boot downloader and the programmer wait for a flag before they read a frame.
    Log("diag: frame without its opening flag ignored");
    return;
  }

  size_t length = frame.size();
  auto status = protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length,
                                         frame.size());
  if (status != protocol::UnframeStatus::Ok || length < 3) {
    // The firmware drops a damaged frame without a word; the boot downloader complains.
    ++bad_frames_;
    if (state_.mode == StickMode::BootDownloader)
      for (Emission& e : Schedule(FrameFlagged(NakPacket(kNakBadFcs)), config_.diag_reply_delay_ms, nullptr))
        out.push_back(std::move(e));
    Log(std::string("diag: bad frame: ") +
        protocol::UnframeErrorText(status == protocol::UnframeStatus::Ok ? protocol::UnframeStatus::BadFcs : status));
    return;
  }
  frame.resize(length - 2);  // the FCS
  if (state_.mode == StickMode::Firmware) {
    Log("diag: request " + Hex(frame.data(), frame.size()));
    HandleRequest(frame, now_ms, out);
    frames_.push_back(std::move(frame));
    return;
  }
  // Image data passes here by the megabyte: the log shows the head of each request only, and
  // the requests are not kept.
  constexpr size_t kLogged = 16;
  Log("diag: request " + Hex(frame.data(), std::min(frame.size(), kLogged)) +
      (frame.size() > kLogged ? "... (" + std::to_string(frame.size()) + " bytes)" : ""));
  HandleDownloadRequest(frame, now_ms, out);
}

void DiagPortModel::HandleRequest(const std::vector<uint8_t>& request, uint64_t now_ms,
                                  std::vector<Emission>& out) {
  if (now_ms < stalled_until_ms_) {
    Log("fault: stalled, request " + Hex(request.data(), 1) + " lost");
    return;
  }
  const FaultRequest key = AsFaultRequest(request, StickMode::Firmware);
  const FaultRule* fault = faults_.Match(key);
  if (fault) Log(std::string("fault: ") + FaultActionName(fault->action) + " on diag request " + Hex(request.data(), 1));
  if (fault && TakeLosingFault(*fault, now_ms)) return;

  std::vector<uint8_t> packet;
  if (fault && fault->action == FaultAction::ErrorCode) {
    packet = DiagCommands::ErrorReply(fault->error_code, request);
  } else if (fault && fault->action == FaultAction::NvStatus && key.nv_item >= 0) {
    packet = DiagCommands::NvRefusal(request, fault->nv_status);
  } else {
    packet = commands_.Answer(request, now_ms);
  }
  if (packet.empty() || (fault && fault->action == FaultAction::NoReply)) return;

  if (fault && fault->action == FaultAction::Oversize) {
    for (size_t framed; (framed = FramedLength(packet)) < fault->size;)
      packet.resize(packet.size() + (fault->size - framed), 0);
  }
  if (fault && fault->action == FaultAction::Cut && packet.size() > fault->size)
    packet.resize(fault->size);
  std::vector<uint8_t> frame = FrameReply(packet);
  if (fault && fault->action == FaultAction::BadFcs) SpoilFcs(frame);
  if (fault && fault->action == FaultAction::NoEndFlag) frame.pop_back();
  for (Emission& e : Schedule(std::move(frame), config_.diag_reply_delay_ms, fault))
    out.push_back(std::move(e));
}

void DiagPortModel::HandleDownloadRequest(const std::vector<uint8_t>& request, uint64_t now_ms,
                                          std::vector<Emission>& out) {
  const StickMode mode = state_.mode;
  const bool boot = mode == StickMode::BootDownloader;
  if (now_ms < stalled_until_ms_) {
    Log("fault: stalled, request " + Hex(request.data(), 1) + " lost");
    return;
  }
  const FaultRule* fault = faults_.Match(AsFaultRequest(request, mode));
  if (fault) Log(std::string("fault: ") + FaultActionName(fault->action) + " on " + ModeName(mode) + " request " + Hex(request.data(), 1));
  if (fault && TakeLosingFault(*fault, now_ms)) return;
  // A refusal in the protocol the stick speaks now.
  auto refusal = [&](uint32_t reason, uint32_t fallback) {
    if (!reason) reason = fallback;
    return boot ? NakPacket(static_cast<uint16_t>(reason)) : StreamErrorPacket(reason);
  };

  std::vector<uint8_t> packet;
  if (fault && (fault->action == FaultAction::Nak || fault->action == FaultAction::StreamError)) {
    packet = refusal(fault->reason, boot ? kNakFailed : kStreamOutOfSequence);
  } else {
    packet = boot ? downloads_.BootAnswer(request) : downloads_.StreamAnswer(request);
  }
  if (packet.empty() || (fault && fault->action == FaultAction::NoReply)) return;
  if (!fault && packet.size() >= 3 && packet[0] == (boot ? kDloadNak : kStreamError))
    Log(std::string(ModeName(mode)) + ": request " + Hex(request.data(), 1) + " refused, reason " +
        std::to_string(boot ? protocol::ReadBe16(packet.data() + 1) : protocol::ReadLe32(packet.data() + 1)));

  if (fault && fault->action == FaultAction::Oversize) {
    for (size_t framed; (framed = FrameFlagged(packet).size()) < fault->size;)
      packet.resize(packet.size() + (fault->size - framed), 0);
  }
  std::vector<uint8_t> frame = FrameFlagged(packet);
  if (fault && fault->action == FaultAction::BadFcs) SpoilFcs(frame);
  if (fault && fault->action == FaultAction::NoEndFlag) frame.pop_back();
  if (fault && fault->action == FaultAction::TwoFrames) {
    const std::vector<uint8_t> second = FrameFlagged(refusal(fault->reason, boot ? kNakFailed : kStreamOutOfSequence));
    frame.insert(frame.end(), second.begin(), second.end());
  }
  // The programmer answers a block once it has programmed it.
  const bool programmed = mode == StickMode::FlashProgrammer && packet.size() >= 5 &&
                          packet[0] == kStreamBlockWritten &&
                          protocol::ReadLe32(packet.data() + 1) != kProbeAddress;
  const uint32_t delay = config_.diag_reply_delay_ms + (programmed ? config_.block_program_ms : 0);
  for (Emission& e : Schedule(std::move(frame), delay, fault)) out.push_back(std::move(e));
}

}  // namespace flotilla::sim
