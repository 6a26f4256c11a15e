// The stick's AT (modem) port: collects command lines and answers them as the firmware does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/emission.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

// State of the running firmware that the AT commands read and change.
struct FirmwareState {
  std::string firmware_version;
  int diag_mode = 0;
  int reset_count = 0;
  std::string cd_run_mode;
};

class AtPortModel {
 public:
  AtPortModel(FirmwareState& state, const StickConfig& config, SimLog log)
      : state_(state), config_(config), log_(std::move(log)) {}

  // Bytes from the host; returns what the stick sends back.
  std::vector<Emission> Receive(const uint8_t* data, size_t length);

  // The complete answer to one command line (without its CR), echo included. Empty when the
  // stick stays silent (an empty line).
  std::string Answer(const std::string& command);

 private:
  // A command line longer than this is thrown away, as a modem's line buffer would.
  static constexpr size_t kMaxLine = 512;

  FirmwareState& state_;
  const StickConfig& config_;
  SimLog log_;
  std::string line_;
};

}  // namespace flotilla::sim
