// The firmware's DIAG task: the answer to each request of the command set.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/model/firmware_state.h"
#include "sim/model/nv_store.h"
#include "sim/model/sim_log.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

// DIAG error reply codes.
constexpr uint8_t kDiagBadCommand = 0x13;
constexpr uint8_t kDiagBadParameters = 0x14;
constexpr uint8_t kDiagBadLength = 0x15;
constexpr uint8_t kDiagBadMode = 0x18;
constexpr uint8_t kDiagBadSpcMode = 0x42;

class DiagCommands {
 public:
  DiagCommands(FirmwareState& state, NvStore& nv, const StickConfig& config, SimLog log)
      : state_(state), nv_(nv), config_(config), log_(std::move(log)) {}

  // The reply packet (code first, no FCS) to one unframed request; empty when the firmware
  // stays silent. `now_ms` times the lock-out after a wrong SPC.
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& request, uint64_t now_ms);

  // An error reply: the code, then the request as it came.
  static std::vector<uint8_t> ErrorReply(uint8_t code, const std::vector<uint8_t>& request);
  // The NV reply layout (code, item, 128 bytes, status) carrying `status` and the request's
  // own data bytes, as the NV task answers what it did not do.
  static std::vector<uint8_t> NvRefusal(const std::vector<uint8_t>& request, uint16_t status);

 private:
  std::vector<uint8_t> Dispatch(const std::vector<uint8_t>& request, uint64_t now_ms);
  std::vector<uint8_t> NvRead(const std::vector<uint8_t>& request);
  std::vector<uint8_t> NvWrite(const std::vector<uint8_t>& request);
  std::vector<uint8_t> ModeChange(const std::vector<uint8_t>& request);
  std::vector<uint8_t> Unlock(const std::vector<uint8_t>& request, uint64_t now_ms);
  std::vector<uint8_t> Subsystem(const std::vector<uint8_t>& request);
  std::vector<uint8_t> BuildId() const;
  std::vector<uint8_t> VersionNumber() const;
  std::vector<uint8_t> Status() const;
  void Log(const std::string& line) const {
    if (log_) log_(line);
  }

  FirmwareState& state_;
  NvStore& nv_;
  const StickConfig& config_;
  SimLog log_;
};

}  // namespace flotilla::sim
