// The simulated stick: its firmware state, NV store, fault plan and the models of its ports.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/model/at_port.h"
#include "sim/model/diag_commands.h"
#include "sim/model/diag_port.h"
#include "sim/model/download_modes.h"
#include "sim/model/emission.h"
#include "sim/model/fault_plan.h"
#include "sim/model/firmware_state.h"
#include "sim/model/flash_store.h"
#include "sim/model/nv_store.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

// A reset the firmware accepted: the ports drop `drop_after_ms` after the last byte of the
// answer has left, and come back `away_ms` later.
struct Reenumeration {
  uint32_t drop_after_ms = 0;
  uint32_t away_ms = 0;
  bool for_good = false;  // the ports never come back
};

// Not thread-safe: each transport feeds it from one thread.
class StickModel {
 public:
  explicit StickModel(StickConfig config, SimLog log = nullptr);

  // Bytes from the host on one port, arriving at `now_ms` on the transport's clock.
  std::vector<Emission> Receive(SimPort port, const uint8_t* data, size_t length,
                                uint64_t now_ms = 0);

  // The reset accepted (or the re-enumeration a fault caused) since the last call, if any;
  // the transport carries it out.
  std::optional<Reenumeration> TakeReenumeration();
  // The ports dropped: the stick starts afresh in the mode it was heading for (the firmware
  // unless it switched to the boot downloader), half-received input is gone. The firmware
  // reports the version of the application image in flash, once one was written.
  void Restart();

  // What runs now; with it, whether the AT port is there.
  StickMode Mode() const { return firmware_.mode; }
  bool HasAtPort() const { return firmware_.mode == StickMode::Firmware; }

  // Replaces the fault plan; its counts start again.
  void SetFaultPlan(FaultPlan plan) { config_.faults = std::move(plan); }

  // Why the NV store could not be kept under the state directory; empty when it is.
  const std::string& NvError() const { return nv_error_; }

  FirmwareState& Firmware() { return firmware_; }
  NvStore& Nv() { return nv_; }
  const FlashStore& Flash() const { return flash_; }
  // Why the flash could not be kept under the state directory; empty when it is.
  const std::string& FlashError() const { return flash_error_; }
  const DownloadModes& Downloads() const { return downloads_; }
  const DiagPortModel& Diag() const { return diag_; }
  const StickConfig& Config() const { return config_; }

 private:
  void TakeVersionFromFlash();
  // Adds the link's varying reply time to each reply.
  void VaryReplyTimes(std::vector<Emission>& replies);

  StickConfig config_;
  FirmwareState firmware_;
  NvStore nv_;
  std::string nv_error_;
  FlashStore flash_;
  std::string flash_error_;
  DiagCommands commands_;
  DownloadModes downloads_;
  AtPortModel at_;
  DiagPortModel diag_;
  std::mt19937 reply_times_;
};

}  // namespace flotilla::sim
