// The boot downloader's and the flash programmer's answers.
#include "sim/model/download_modes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/byte_order.h"
#include "protocol/download_codes.h"

namespace flotilla::sim {
namespace {

namespace dload_code = protocol::dload_code;
namespace stream_code = protocol::stream_code;

// What the parameters reply reports: protocol version, the oldest one understood, the
// largest packet accepted, and the flash part.
constexpr uint8_t kProtocolVersion = 5;
constexpr uint8_t kMinimumVersion = 2;
constexpr uint32_t kMaxWritePacket = 1024;
constexpr uint8_t kModel = 0x4A;
constexpr uint8_t kSizeCode = 0x0B;
constexpr uint8_t kDeviceType = 0x01;

// Both greetings carry their magic in a 32-byte field; the programmer's own text is longer
// and is cut to the field.
constexpr size_t kMagicField = 32;
constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol target";
// The hello as the programmer reads it: code, magic, version, compatible version, feature
// bits. Hosts may send more; the programmer reads no further.
constexpr size_t kHelloBytes = 1 + kMagicField + 3;
constexpr uint8_t kStreamVersion = 2;
constexpr uint8_t kStreamCompatible = 2;
constexpr char kFlashId[] = "NAND 128MiB";
constexpr uint32_t kFlashBytes = 128u << 20;

// The only security mode and partition override flag the programmer takes.
constexpr uint8_t kTrustedMode = 0x01;
constexpr uint8_t kOverride = 0x01;

bool TypeTakesHeader(int type) { return type == 4 || type == 5 || type == 10; }
bool TypeWithoutHeader(int type) { return type == 1 || type == 2 || type == 3 || type == 9; }

void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  protocol::WriteLe32(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace

std::vector<uint8_t> NakPacket(uint16_t reason) {
  std::vector<uint8_t> packet = {kDloadNak, 0, 0};
  protocol::WriteBe16(packet.data() + 1, reason);
  return packet;
}

std::vector<uint8_t> StreamErrorPacket(uint32_t reason) {
  std::vector<uint8_t> packet = {kStreamError};
  AppendLe32(packet, reason);
  return packet;
}

void DownloadModes::Restart() {
  ram_.clear();
  greeted_ = security_set_ = partition_seen_ = false;
  session_ = ImageSession::Settled;
  open_type_ = -1;
  open_image_ = {};
}

std::vector<uint8_t> DownloadModes::Uploaded() const { return ram_; }

std::vector<uint8_t> DownloadModes::BootAnswer(const std::vector<uint8_t>& request) {
  const size_t n = request.size();
  switch (request[0]) {
    case dload_code::kNop:
      return {kDloadAck};
    case dload_code::kParameterRequest: {
      std::vector<uint8_t> reply = {dload_code::kParameters, kProtocolVersion, kMinimumVersion};
      AppendLe32(reply, kMaxWritePacket);
      reply.insert(reply.end(), {kModel, kSizeCode, kDeviceType});
      return reply;
    }
    case dload_code::kWrite32:
      return Write(request);
    case dload_code::kGo:
      return Go(request);
    case dload_code::kReset:
      if (n != 1) return NakPacket(kNakBadLength);
      if (state_.RequestReset(StickMode::Firmware)) Log("boot: reset accepted");
      return {kDloadAck};
    default:
      return NakPacket(kNakUnknownCommand);
  }
}

std::vector<uint8_t> DownloadModes::Write(const std::vector<uint8_t>& request) {
  if (request.size() < 7) return NakPacket(kNakTooShort);
  const uint32_t address = protocol::ReadBe32(request.data() + 1);
  const uint16_t length = protocol::ReadBe16(request.data() + 5);
  if (length > kDloadMaxData || length != request.size() - 7) return NakPacket(kNakBadLength);
  if (address < kRamBase || uint64_t{address} + length > uint64_t{kRamBase} + kRamBytes)
    return NakPacket(kNakBadAddress);
  const size_t offset = address - kRamBase;
  if (ram_.size() < offset + length) ram_.resize(offset + length, 0);
  std::copy(request.begin() + 7, request.end(), ram_.begin() + static_cast<long>(offset));
  return {kDloadAck};
}

std::vector<uint8_t> DownloadModes::Go(const std::vector<uint8_t>& request) {
  if (request.size() < 5) return NakPacket(kNakTooShort);
  const uint32_t segment = protocol::ReadBe16(request.data() + 1);
  const uint32_t offset = protocol::ReadBe16(request.data() + 3);
  const uint32_t address = (segment << 16) + offset;
  if (address != kRamBase) return NakPacket(kNakBadAddress);
  // The programmer's own length from the load address decides; what lies beyond is not run.
  const auto& programmer = config_.programmer;
  if (config_.check_programmer &&
      (ram_.size() < programmer.size() || !std::equal(programmer.begin(), programmer.end(), ram_.begin()))) {
    Log("boot: go refused, the " + std::to_string(programmer.size()) +
        " bytes at the load address are not the flash programmer");
    return NakPacket(kNakFailed);
  }
  Log("boot: flash programmer started (" + std::to_string(ram_.size()) + " bytes)");
  state_.mode = StickMode::FlashProgrammer;
  Restart();
  return {kDloadAck};
}

std::vector<uint8_t> DownloadModes::StreamAnswer(const std::vector<uint8_t>& request) {
  const uint8_t code = request[0];
  if (code == stream_code::kHello) return Hello(request);
  if (!greeted_ && code != stream_code::kNop && code != stream_code::kReset)
    return StreamErrorPacket(kStreamOutOfSequence);
  switch (code) {
    case stream_code::kNop: {
      // The no-op after a close confirms that no image is left half-written.
      if (session_ == ImageSession::Closed) session_ = ImageSession::Settled;
      std::vector<uint8_t> reply = {static_cast<uint8_t>(stream_code::kNop + 1)};
      reply.insert(reply.end(), request.begin() + 1, request.end());
      return reply;
    }
    case stream_code::kSecurityMode:
      return SecurityMode(request);
    case stream_code::kPartitionTable:
      return PartitionTable(request);
    case stream_code::kOpenMultiImage:
      return Open(request);
    case stream_code::kWrite:
      return StreamWrite(request);
    case stream_code::kClose:
      return Close();
    case stream_code::kReset:
      if (state_.RequestReset(StickMode::Firmware)) Log("stream: reset accepted");
      return {static_cast<uint8_t>(stream_code::kReset + 1)};
    default:
      return StreamErrorPacket(kStreamBadCommand);
  }
}

std::vector<uint8_t> DownloadModes::Hello(const std::vector<uint8_t>& request) {
  if (request.size() < kHelloBytes) return StreamErrorPacket(kStreamBadLength);
  if (std::memcmp(request.data() + 1, kHostMagic, kMagicField) != 0)
    return StreamErrorPacket(kStreamBadCommand);
  // Only a host older than what the programmer still speaks is turned away; a host that
  // claims a newer compatible version is served with version 2.
  const uint8_t version = request[1 + kMagicField];
  if (version < kStreamCompatible) return StreamErrorPacket(kStreamIncompatible);
  const uint8_t features = request[3 + kMagicField];
  greeted_ = true;
  // Magic, version, compatible version, largest block, flash base address, the flash id as a
  // counted text, window size, sector count with one size per sector, then the feature bits
  // the programmer accepts.
  std::vector<uint8_t> reply = {stream_code::kHelloReply};
  reply.insert(reply.end(), kTargetMagic, kTargetMagic + kMagicField);
  reply.push_back(kStreamVersion);
  reply.push_back(kStreamCompatible);
  AppendLe32(reply, kStreamBlockBytes);
  AppendLe32(reply, 0);
  reply.push_back(static_cast<uint8_t>(sizeof kFlashId - 1));
  reply.insert(reply.end(), kFlashId, kFlashId + sizeof kFlashId - 1);
  reply.insert(reply.end(), {0x01, 0x00, 0x01, 0x00});  // window 1, one sector (LE16 each)
  AppendLe32(reply, kFlashBytes);
  reply.push_back(features);
  return reply;
}

std::vector<uint8_t> DownloadModes::SecurityMode(const std::vector<uint8_t>& request) {
  if (request.size() != 2) return StreamErrorPacket(kStreamBadLength);
  if (request[1] != kTrustedMode) return StreamErrorPacket(kStreamBadSecurity);
  if (session_ != ImageSession::Settled) return StreamErrorPacket(kStreamOutOfSequence);
  security_set_ = true;
  return {static_cast<uint8_t>(stream_code::kSecurityMode + 1)};
}

std::vector<uint8_t> DownloadModes::PartitionTable(const std::vector<uint8_t>& request) {
  const size_t n = request.size();
  if (n < 3) return StreamErrorPacket(kStreamBadLength);
  if (!security_set_ || open_type_ >= 0) return StreamErrorPacket(kStreamOutOfSequence);
  // Without the override the programmer keeps the table it has.
  if (request[1] != kOverride) return StreamErrorPacket(kStreamFailed);
  flash_.SetPartitionTable(std::vector<uint8_t>(request.begin() + 2, request.end()));
  partition_seen_ = true;
  Log("stream: partition table of " + std::to_string(n - 2) + " bytes stored");
  return {static_cast<uint8_t>(stream_code::kPartitionTable + 1), 0x00};
}

std::vector<uint8_t> DownloadModes::Open(const std::vector<uint8_t>& request) {
  if (request.size() < 2) return StreamErrorPacket(kStreamBadLength);
  const int type = request[1];
  if (!TypeTakesHeader(type) && !TypeWithoutHeader(type)) return StreamErrorPacket(kStreamBadCommand);
  if (TypeTakesHeader(type) == (request.size() == 2)) return StreamErrorPacket(kStreamBadLength);
  // The security mode and the partition table come first, and one image is open at a time.
  if (!security_set_ || !partition_seen_ || open_type_ >= 0) {
    Log("stream: open of image " + std::to_string(type) + " refused, out of sequence");
    return StreamErrorPacket(kStreamOutOfSequence);
  }
  session_ = ImageSession::Open;
  open_type_ = type;
  open_image_ = {};
  open_image_.header.assign(request.begin() + 2, request.end());
  Log("stream: image " + std::to_string(type) + " opened");
  return {static_cast<uint8_t>(stream_code::kOpenMultiImage + 1), 0x00};
}

std::vector<uint8_t> DownloadModes::StreamWrite(const std::vector<uint8_t>& request) {
  if (request.size() < 5) return StreamErrorPacket(kStreamBadLength);
  const uint32_t address = protocol::ReadLe32(request.data() + 1);
  const size_t length = request.size() - 5;
  if (length > kStreamBlockBytes) return StreamErrorPacket(kStreamBadLength);
  std::vector<uint8_t> written = {stream_code::kBlockWritten};
  AppendLe32(written, address);
  if (address == kProbeAddress) {
    // Not while an image is half-written: the host must close it and check with a no-op.
    if (session_ != ImageSession::Settled) return StreamErrorPacket(kStreamOutOfSequence);
    return written;
  }
  if (open_type_ < 0) return StreamErrorPacket(kStreamOutOfSequence);
  if (uint64_t{address} + length > config_.max_image_bytes) return StreamErrorPacket(kStreamBadAddress);
  auto& body = open_image_.body;
  if (body.size() < address + length) body.resize(address + length, 0xFF);
  std::copy(request.begin() + 5, request.end(), body.begin() + address);
  return written;
}

std::vector<uint8_t> DownloadModes::Close() {
  if (open_type_ >= 0) {
    Log("stream: image " + std::to_string(open_type_) + " closed, " +
        std::to_string(open_image_.body.size()) + " bytes");
    flash_.Commit(open_type_, std::move(open_image_));
    if (open_type_ == kFileSystemImage && config_.efs_holds_nv) {
      nv_.EraseWritable();
      Log("stream: the new file system holds no NV items but the read-only ones");
    }
    session_ = ImageSession::Closed;
    open_type_ = -1;
    open_image_ = {};
  }
  return {static_cast<uint8_t>(stream_code::kClose + 1)};
}

}  // namespace flotilla::sim
