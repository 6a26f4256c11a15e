// The DIAG command set as the stick's firmware answers it.
#include "sim/model/diag_commands.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "protocol/byte_order.h"
#include "protocol/diag_codes.h"
#include "sim/model/version_set.h"

namespace flotilla::sim {
namespace {

using protocol::ReadLe16;
using protocol::WriteLe16;
using protocol::WriteLe32;

using namespace protocol::diag_code;

// Requests the host's command table does not carry, answered for clients that identify the
// stick by them: the version number and the status.
constexpr uint8_t kVersionNumber = 0x00;
constexpr uint8_t kStatus = 0x0C;

// Request sizes, code included. An NV request may leave out trailing zero bytes, down to the
// code and the item number.
constexpr size_t kNvRequestBytes = 1 + 2 + kNvItemBytes + 2;
constexpr size_t kNvShortestRequest = 1 + 2;
constexpr size_t kSpcDigits = 6;
constexpr size_t kDownloadCheckBytes = 4 + 128;

// Mode change values.
constexpr uint16_t kModeOfflineAnalog = 0;
constexpr uint16_t kModeOffline = 1;
constexpr uint16_t kModeReset = 2;
constexpr uint16_t kModeOnline = 4;

// Extended build id: format version, the chip's hardware revision and the model number that
// precede the text.
constexpr uint8_t kBuildIdFormat = 0x01;
constexpr uint32_t kChipHardwareVersion = 0x000090E1;
constexpr uint32_t kMobileModel = 0x00000A2B;
constexpr size_t kBuildIdTextBytes = 256;

// The version number reply: build and release stamps, the build directory, and the codes of
// the station class, air interface revision, model, firmware revision, slot cycle and
// hardware that follow them.
constexpr char kCompileDate[] = "Mar 12 2010";
constexpr char kCompileTime[] = "10:21:07";
constexpr size_t kVersionDirBytes = 8;
constexpr uint8_t kStationClassMark = 0xEA;
constexpr uint8_t kAirInterfaceRevision = 0x06;
constexpr uint16_t kFirmwareRevision = 0x0105;
constexpr uint8_t kSlotCycleIndex = 0x02;

// The status reply's mode and channel fields of an idle stick on its home system.
constexpr uint16_t kRfModeCdma = 0x0001;
constexpr uint16_t kChannel = 283;
constexpr uint16_t kSystemId = 4145;
constexpr uint16_t kNetworkId = 1;

// What the readiness poll of subsystem 4 reports while the stick is still busy.
constexpr uint8_t kNotReady = 0x01;

void Append(std::vector<uint8_t>& out, const char* text, size_t width) {
  const size_t n = std::min(std::char_traits<char>::length(text), width);
  out.insert(out.end(), text, text + n);
  out.resize(out.size() + (width - n), 0);
}

void AppendLe(std::vector<uint8_t>& out, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
}

}  // namespace

std::vector<uint8_t> DiagCommands::ErrorReply(uint8_t code, const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply(1 + request.size(), code);
  std::copy(request.begin(), request.end(), reply.begin() + 1);
  return reply;
}

std::vector<uint8_t> DiagCommands::NvRefusal(const std::vector<uint8_t>& request, uint16_t status) {
  std::vector<uint8_t> reply(request.begin(), request.end());
  reply.resize(kNvRequestBytes, 0);
  WriteLe16(reply.data() + kNvRequestBytes - 2, status);
  return reply;
}

std::vector<uint8_t> DiagCommands::Answer(const std::vector<uint8_t>& request, uint64_t now_ms) {
  if (request.empty()) return {};
  if (now_ms < state_.diag_locked_until_ms) {
    Log("diag: locked out after a wrong SPC, request ignored");
    return {};
  }
  return Dispatch(request, now_ms);
}

std::vector<uint8_t> DiagCommands::Dispatch(const std::vector<uint8_t>& request, uint64_t now_ms) {
  const size_t n = request.size();
  auto sized = [&](size_t expected, std::vector<uint8_t> reply) {
    return n == expected ? reply : ErrorReply(kDiagBadLength, request);
  };
  switch (request[0]) {
    case kEsn: {
      std::vector<uint8_t> reply(5, kEsn);
      WriteLe32(reply.data() + 1, config_.esn);
      return sized(1, reply);
    }
    case kVersionNumber:
      return sized(1, VersionNumber());
    case kStatus:
      return sized(1, Status());
    case kNvRead:
    case kNvWrite: {
      if (n < kNvShortestRequest || n > kNvRequestBytes) return ErrorReply(kDiagBadLength, request);
      std::vector<uint8_t> padded = request;
      padded.resize(kNvRequestBytes, 0);
      return request[0] == kNvRead ? NvRead(padded) : NvWrite(padded);
    }
    case kModeChange:
      return n == 3 ? ModeChange(request) : ErrorReply(kDiagBadLength, request);
    case kVersionSet:
      return sized(1, BuildVersionSetReply(config_.version_texts, config_.version_reply_length));
    case kDownloaderSwitch:
      if (n != 1) return ErrorReply(kDiagBadLength, request);
      // The switch needs the prepare request first and, like a reset, the stick offline
      // (unless resets need no offline mode); otherwise it is refused, never answered and
      // then left undone.
      if (!state_.downloader_prepared) {
        Log("diag: switch to the boot downloader refused, not prepared");
        return ErrorReply(kDiagBadMode, request);
      }
      if (config_.reset_needs_offline && !state_.offline) {
        Log("diag: switch to the boot downloader refused while online");
        return ErrorReply(kDiagBadMode, request);
      }
      state_.boot_downloader_requested = true;
      // The stick answers, drops its ports and comes back with the DIAG port alone.
      if (state_.RequestReset(StickMode::BootDownloader)) Log("diag: switching to the boot downloader");
      return {kDownloaderSwitch};
    case kSpcUnlock:
      return n == 1 + kSpcDigits ? Unlock(request, now_ms) : ErrorReply(kDiagBadLength, request);
    case kSubsystem:
      return Subsystem(request);
    case kPrepareDownloader:
      if (n != 6) return ErrorReply(kDiagBadLength, request);
      state_.downloader_prepared = true;
      return request;
    case kBuildId:
      return sized(1, BuildId());
    default:
      return ErrorReply(kDiagBadCommand, request);
  }
}

std::vector<uint8_t> DiagCommands::NvRead(const std::vector<uint8_t>& request) {
  const uint16_t item = ReadLe16(request.data() + 1);
  NvValue value{};
  const uint16_t status = nv_.Read(item, value);
  if (status != kNvDone) return NvRefusal(request, status);
  std::vector<uint8_t> reply(request.begin(), request.begin() + 3);
  reply.insert(reply.end(), value.begin(), value.end());
  reply.resize(kNvRequestBytes, 0);
  return reply;
}

std::vector<uint8_t> DiagCommands::NvWrite(const std::vector<uint8_t>& request) {
  const uint16_t item = ReadLe16(request.data() + 1);
  if (config_.spc_protected_nv.count(item) && !state_.spc_unlocked)
    return ErrorReply(kDiagBadSpcMode, request);
  NvValue value{};
  std::copy(request.begin() + 3, request.begin() + 3 + kNvItemBytes, value.begin());
  return NvRefusal(request, nv_.Write(item, value));
}

std::vector<uint8_t> DiagCommands::ModeChange(const std::vector<uint8_t>& request) {
  switch (ReadLe16(request.data() + 1)) {
    case kModeOfflineAnalog:
    case kModeOffline:
      state_.offline = true;
      return request;
    case kModeOnline:
      state_.offline = false;
      return request;
    case kModeReset:
      // The firmware resets only from offline, so that no call is cut off by accident.
      if (config_.reset_needs_offline && !state_.offline) return ErrorReply(kDiagBadMode, request);
      if (state_.RequestReset()) Log("diag: reset accepted");
      return request;
    default:
      return ErrorReply(kDiagBadParameters, request);
  }
}

std::vector<uint8_t> DiagCommands::Unlock(const std::vector<uint8_t>& request, uint64_t now_ms) {
  const std::string code(request.begin() + 1, request.end());
  const bool ok = code == config_.spc;
  state_.spc_unlocked = ok;
  if (!ok) {
    // Against guessing, the DIAG task takes no requests for a while after a wrong code.
    state_.diag_locked_until_ms = now_ms + config_.spc_lockout_ms;
    Log("diag: wrong SPC \"" + code + "\", locked out for " + std::to_string(config_.spc_lockout_ms) + " ms");
  }
  return {kSpcUnlock, static_cast<uint8_t>(ok ? 1 : 0)};
}

std::vector<uint8_t> DiagCommands::Subsystem(const std::vector<uint8_t>& request) {
  const size_t n = request.size();
  if (n < 4) return ErrorReply(n < 2 ? kDiagBadCommand : kDiagBadLength, request);
  const uint8_t id = request[1];
  const uint16_t command = ReadLe16(request.data() + 2);
  auto header = [&](size_t extra) {
    std::vector<uint8_t> reply(request.begin(), request.begin() + 4);
    reply.resize(4 + extra, 0);
    return reply;
  };
  if (id == 0x04 && command == 0x000E) {
    if (n != 4) return ErrorReply(kDiagBadLength, request);
    // The stick needs a few polls after its start before it reports ready (status 0).
    std::vector<uint8_t> reply = header(1);
    if (state_.readiness_polls++ < config_.not_ready_polls) reply[4] = kNotReady;
    return reply;
  }
  if (id == 0xA3 && command == 0x0005) {
    if (n != kDownloadCheckBytes) return ErrorReply(kDiagBadLength, request);
    std::vector<uint8_t> reply = header(4);
    WriteLe32(reply.data() + 4, config_.download_check_result);
    return reply;
  }
  if ((id == 0xAA || id == 0xA1) && command == 0x0000) {
    if (n != 5) return ErrorReply(kDiagBadLength, request);
    (id == 0xAA ? state_.subsystem_aa : state_.autorun) = request[4];
    return header(1);
  }
  return ErrorReply(kDiagBadCommand, request);
}

std::vector<uint8_t> DiagCommands::VersionNumber() const {
  std::vector<uint8_t> reply = {kVersionNumber};
  Append(reply, kCompileDate, std::size(kCompileDate) - 1);
  Append(reply, kCompileTime, std::size(kCompileTime) - 1);
  Append(reply, kCompileDate, std::size(kCompileDate) - 1);  // released as built
  Append(reply, kCompileTime, std::size(kCompileTime) - 1);
  // The build directory: the tail of the firmware version.
  const std::string& version = state_.firmware_version;
  Append(reply, version.substr(version.size() > kVersionDirBytes ? version.size() - kVersionDirBytes : 0).c_str(),
         kVersionDirBytes);
  reply.push_back(kStationClassMark);
  reply.push_back(kAirInterfaceRevision);
  reply.push_back(static_cast<uint8_t>(kMobileModel));
  AppendLe(reply, kFirmwareRevision, 2);
  reply.push_back(kSlotCycleIndex);
  reply.push_back(static_cast<uint8_t>(kChipHardwareVersion >> 8));  // hardware major
  reply.push_back(static_cast<uint8_t>(kChipHardwareVersion));       // and minor version
  return reply;
}

std::vector<uint8_t> DiagCommands::Status() const {
  std::vector<uint8_t> reply = {kStatus, 0, 0, 0};  // demodulator, decoder, interleaver
  AppendLe(reply, config_.esn, 4);
  AppendLe(reply, state_.offline ? 0 : kRfModeCdma, 2);
  reply.resize(reply.size() + 8 + 4 + 1, 0);  // two MIN1 and two MIN2 values, the origin MIN
  AppendLe(reply, 0, 2);                      // CDMA receive state
  reply.push_back(0);                         // good frames
  AppendLe(reply, 0, 2 * 3);                  // analog corrected and bad frames, word syncs
  AppendLe(reply, 0, 2);                      // entry reason
  AppendLe(reply, kChannel, 2);
  reply.push_back(0);                         // code channel
  AppendLe(reply, 0, 2);                      // pilot PN base
  AppendLe(reply, kSystemId, 2);
  AppendLe(reply, kNetworkId, 2);
  AppendLe(reply, 0, 2);                      // location area
  AppendLe(reply, 0, 2);                      // RSSI
  reply.push_back(0);                         // transmit power
  return reply;
}

std::vector<uint8_t> DiagCommands::BuildId() const {
  std::vector<uint8_t> reply(1 + 3 + 4 + 4, 0);
  reply[0] = kBuildId;
  reply[1] = kBuildIdFormat;
  WriteLe32(reply.data() + 4, kChipHardwareVersion);
  WriteLe32(reply.data() + 8, kMobileModel);
  std::vector<uint8_t> text(kBuildIdTextBytes, 0);
  std::copy_n(config_.build_id.begin(), std::min(config_.build_id.size(), kBuildIdTextBytes), text.begin());
  reply.insert(reply.end(), text.begin(), text.end());
  return reply;
}

}  // namespace flotilla::sim
