// The simulated stick: routes host bytes to the port models.
#include "sim/model/stick.h"

namespace flotilla::sim {

StickModel::StickModel(StickConfig config, SimLog log)
    : config_(std::move(config)), at_(firmware_, config_, log), diag_(log) {
  firmware_.firmware_version = config_.firmware_version;
  firmware_.diag_mode = config_.diag_mode;
}

std::vector<Emission> StickModel::Receive(SimPort port, const uint8_t* data, size_t length) {
  return port == SimPort::At ? at_.Receive(data, length) : diag_.Receive(data, length);
}

}  // namespace flotilla::sim
