// The simulated stick: routes host bytes to the port models and hands resets to the transport.
#include "sim/model/stick.h"

#include <filesystem>

namespace flotilla::sim {

StickModel::StickModel(StickConfig config, SimLog log)
    : config_(std::move(config)),
      nv_(config_.esn, config_.inactive_nv, config_.read_only_nv),
      commands_(firmware_, nv_, config_, log),
      downloads_(firmware_, flash_, nv_, config_, log),
      at_(firmware_, config_, config_.faults, log),
      diag_(commands_, downloads_, firmware_, config_.faults, config_, log),
      reply_times_(config_.reply_seed) {
  firmware_.firmware_version = config_.firmware_version;
  firmware_.diag_mode = config_.diag_mode;
  if (!config_.state_dir.empty()) {
    std::error_code ec;  // a failure shows when the stores try to keep their files there
    std::filesystem::create_directories(config_.state_dir, ec);
  }
  if (!config_.state_dir.empty() && !nv_.Keep(config_.state_dir, nv_error_) && log)
    log("nv: " + nv_error_);
  if (!config_.state_dir.empty() && !flash_.Keep(config_.state_dir, flash_error_) && log)
    log("flash: " + flash_error_);
  TakeVersionFromFlash();
}

void StickModel::TakeVersionFromFlash() {
  const std::string version = flash_.ApplicationVersion();
  if (version.empty()) return;
  config_.version_texts[0] = version;
  firmware_.firmware_version = version;
}

std::vector<Emission> StickModel::Receive(SimPort port, const uint8_t* data, size_t length,
                                          uint64_t now_ms) {
  std::vector<Emission> replies =
      port == SimPort::At ? at_.Receive(data, length) : diag_.Receive(data, length, now_ms);
  VaryReplyTimes(replies);
  return replies;
}

void StickModel::VaryReplyTimes(std::vector<Emission>& replies) {
  if (config_.reply_ms_max == 0) return;
  const uint32_t span = config_.reply_ms_max - config_.reply_ms_min + 1;
  uint32_t extra = 0;
  for (Emission& e : replies) {
    // The later bursts of a split reply keep the time drawn for its first.
    if (e.gap_ms == 0) extra = config_.reply_ms_min + static_cast<uint32_t>(reply_times_() % span);
    e.delay_ms += extra;
  }
}

std::optional<Reenumeration> StickModel::TakeReenumeration() {
  if (firmware_.vanish_requested) {
    // Whatever it was doing, the stick is off the bus now; a reset it had accepted is moot.
    firmware_.vanish_requested = firmware_.reset_requested = false;
    firmware_.going_down = true;
    return Reenumeration{0, firmware_.vanish_away_ms, firmware_.vanish_for_good};
  }
  if (!firmware_.reset_requested) return std::nullopt;
  firmware_.reset_requested = false;
  return Reenumeration{config_.reset_drop_ms, config_.reenum_ms};
}

void StickModel::Restart() {
  firmware_.Restart();
  at_.Restart();
  diag_.Restart();
  downloads_.Restart();
  if (firmware_.mode == StickMode::Firmware) TakeVersionFromFlash();
}

}  // namespace flotilla::sim
