// The simulated stick: its firmware state and the models of its two ports.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/model/at_port.h"
#include "sim/model/diag_port.h"
#include "sim/model/emission.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

// Not thread-safe: each transport feeds it from one thread.
class StickModel {
 public:
  explicit StickModel(StickConfig config, SimLog log = nullptr);

  std::vector<Emission> Receive(SimPort port, const uint8_t* data, size_t length);

  FirmwareState& Firmware() { return firmware_; }
  const DiagPortModel& Diag() const { return diag_; }
  const StickConfig& Config() const { return config_; }

 private:
  StickConfig config_;
  FirmwareState firmware_;
  AtPortModel at_;
  DiagPortModel diag_;
};

}  // namespace flotilla::sim
