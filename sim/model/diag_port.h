// The stick's DIAG port: splits the host's bytes into frames, answers them, applies faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/diag_commands.h"
#include "sim/model/download_modes.h"
#include "sim/model/emission.h"
#include "sim/model/fault_plan.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

class DiagPortModel {
 public:
  DiagPortModel(DiagCommands& commands, DownloadModes& downloads, FirmwareState& state,
                FaultPlan& faults, const StickConfig& config, SimLog log)
      : commands_(commands), downloads_(downloads), state_(state), faults_(faults),
        config_(config), log_(std::move(log)) {}

  // Bytes from the host, arriving at `now_ms`; returns what the stick sends back.
  std::vector<Emission> Receive(const uint8_t* data, size_t length, uint64_t now_ms = 0);

  // Forgets a partly received frame (the stick restarted).
  void Restart() {
    pending_.clear();
    overflow_ = false;
    frame_opened_ = false;
    stalled_until_ms_ = 0;
  }

  // Good frames the firmware saw so far, unframed (command code first, FCS removed).
  const std::vector<std::vector<uint8_t>>& Frames() const { return frames_; }
  int BadFrames() const { return bad_frames_; }

 private:
  // A frame longer than this cannot be one of ours; it is dropped and counted as bad.
  static constexpr size_t kMaxFrame = 4200;

  void HandleFrame(uint64_t now_ms, std::vector<Emission>& out);
  void HandleRequest(const std::vector<uint8_t>& request, uint64_t now_ms, std::vector<Emission>& out);
  // A request to the boot downloader or the flash programmer.
  void HandleDownloadRequest(const std::vector<uint8_t>& request, uint64_t now_ms,
                             std::vector<Emission>& out);
  bool TakeProbe(uint64_t now_ms, std::vector<Emission>& out);
  // The faults that lose the request: ignored, a stall begun, the stick off the bus. True
  // when `fault` is one of them (and has been carried out).
  bool TakeLosingFault(const FaultRule& fault, uint64_t now_ms);
  void Log(const std::string& line) const {
    if (log_) log_(line);
  }

  DiagCommands& commands_;
  DownloadModes& downloads_;
  FirmwareState& state_;
  FaultPlan& faults_;
  const StickConfig& config_;
  SimLog log_;
  std::vector<uint8_t> pending_;
  bool overflow_ = false;
  // The download modes take a frame only when a flag opened it.
  bool frame_opened_ = false;
  std::vector<std::vector<uint8_t>> frames_;
  int bad_frames_ = 0;
  uint64_t stalled_until_ms_ = 0;
};

// The frame of a firmware reply: escaped packet and FCS, closing flag, no leading flag.
std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet);
// The frame of a boot downloader or flash programmer reply: it opens with a flag too.
std::vector<uint8_t> FrameFlagged(const std::vector<uint8_t>& packet);

// Lower-case hex of a byte range, no separators.
std::string Hex(const uint8_t* data, size_t length);

}  // namespace flotilla::sim
