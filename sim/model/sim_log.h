// The simulated stick's event log: one line per event, to a sink the transport chooses.
#pragma once

#include <functional>
#include <string>

namespace flotilla::sim {

using SimLog = std::function<void(const std::string& line)>;

}  // namespace flotilla::sim
