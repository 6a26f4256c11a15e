// The stick's AT (modem) port: collects command lines and answers them as the firmware does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/emission.h"
#include "sim/model/fault_plan.h"
#include "sim/model/firmware_state.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

class AtPortModel {
 public:
  AtPortModel(FirmwareState& state, const StickConfig& config, FaultPlan& faults, SimLog log)
      : state_(state), config_(config), faults_(faults), log_(std::move(log)) {}

  // Bytes from the host; returns what the stick sends back.
  std::vector<Emission> Receive(const uint8_t* data, size_t length);

  // The complete answer to one command line (without its CR), echo included while echo is on.
  // Empty when the stick stays silent (an empty line).
  std::string Answer(const std::string& command);

  // Forgets a partly received command line and the echo setting (the stick restarted).
  void Restart() {
    line_.clear();
    echo_ = true;
  }

 private:
  // A command line longer than this is thrown away, as a modem's line buffer would.
  static constexpr size_t kMaxLine = 512;

  // The answer without the echo: result lines and the final result code.
  std::string Result(const std::string& command);

  FirmwareState& state_;
  const StickConfig& config_;
  FaultPlan& faults_;
  SimLog log_;
  std::string line_;
  bool echo_ = true;  // ATE1, the modem's default; ATE0 turns it off
};

}  // namespace flotilla::sim
