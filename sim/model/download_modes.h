// The stick outside its firmware: the boot downloader in the baseband's boot code, and the
// flash programmer that it loads into RAM and starts.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/download_codes.h"

#include "sim/model/firmware_state.h"
#include "sim/model/flash_store.h"
#include "sim/model/nv_store.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

// Boot downloader replies (big-endian fields).
constexpr uint8_t kDloadAck = protocol::dload_code::kAck;
constexpr uint8_t kDloadNak = protocol::dload_code::kNak;
// Its negative acknowledge reasons.
constexpr uint16_t kNakBadFcs = 1;
constexpr uint16_t kNakBadAddress = 2;
constexpr uint16_t kNakBadLength = 3;
constexpr uint16_t kNakTooShort = 4;
constexpr uint16_t kNakUnknownCommand = 6;
constexpr uint16_t kNakFailed = 7;

// Flash programmer codes (little-endian fields).
constexpr uint8_t kStreamError = protocol::stream_code::kError;
constexpr uint8_t kStreamBlockWritten = protocol::stream_code::kBlockWritten;
// Its error reasons.
constexpr uint32_t kStreamBadAddress = 2;
constexpr uint32_t kStreamBadLength = 3;
constexpr uint32_t kStreamBadCommand = 5;
constexpr uint32_t kStreamFailed = 7;
constexpr uint32_t kStreamBadSecurity = 12;
constexpr uint32_t kStreamOutOfSequence = 15;
constexpr uint32_t kStreamIncompatible = 17;

// The RAM the boot downloader writes into, and where the flash programmer must start.
constexpr uint32_t kRamBase = 0x00800000;
constexpr uint32_t kRamBytes = 1u << 20;
constexpr uint32_t kDloadMaxData = 1017;
// The stream write address that probes the programmer without writing.
constexpr uint32_t kProbeAddress = 0xFFFFFFFF;
// The largest stream write the programmer takes, as its hello reply announces.
constexpr uint32_t kStreamBlockBytes = 1024;

std::vector<uint8_t> NakPacket(uint16_t reason);
std::vector<uint8_t> StreamErrorPacket(uint32_t reason);

class DownloadModes {
 public:
  DownloadModes(FirmwareState& state, FlashStore& flash, NvStore& nv, const StickConfig& config,
                SimLog log)
      : state_(state), flash_(flash), nv_(nv), config_(config), log_(std::move(log)) {}

  // The reply packet (code first, no FCS) to one unframed request in the mode the stick is in.
  // A go that starts the programmer, and the resets, change the mode (see FirmwareState).
  std::vector<uint8_t> BootAnswer(const std::vector<uint8_t>& request);
  std::vector<uint8_t> StreamAnswer(const std::vector<uint8_t>& request);

  // RAM, the programmer's session and a half-written image are gone (the stick restarted).
  void Restart();

  // What the boot downloader holds at the load address: the bytes up to the last one written.
  std::vector<uint8_t> Uploaded() const;

  // Where the programmer stands with its images: none touched since the last check, one open
  // (half-written until closed), or one closed that a no-op has not yet confirmed. The probe
  // and the security mode wait for the no-op.
  enum class ImageSession { Settled, Open, Closed };

 private:
  std::vector<uint8_t> Write(const std::vector<uint8_t>& request);
  std::vector<uint8_t> Go(const std::vector<uint8_t>& request);
  std::vector<uint8_t> Hello(const std::vector<uint8_t>& request);
  std::vector<uint8_t> Open(const std::vector<uint8_t>& request);
  std::vector<uint8_t> StreamWrite(const std::vector<uint8_t>& request);
  std::vector<uint8_t> Close();
  std::vector<uint8_t> SecurityMode(const std::vector<uint8_t>& request);
  std::vector<uint8_t> PartitionTable(const std::vector<uint8_t>& request);
  void Log(const std::string& line) const {
    if (log_) log_(line);
  }

  FirmwareState& state_;
  FlashStore& flash_;
  NvStore& nv_;
  const StickConfig& config_;
  SimLog log_;

  std::vector<uint8_t> ram_;  // from kRamBase, as far as written
  bool greeted_ = false;
  bool security_set_ = false;
  bool partition_seen_ = false;
  ImageSession session_ = ImageSession::Settled;
  int open_type_ = -1;  // -1: no image open
  FlashImage open_image_;
};

}  // namespace flotilla::sim
