// What the simulated stick sends back: bytes that leave the stick after a delay.
#pragma once

#include <cstdint>
#include <vector>

namespace flotilla::sim {

enum class SimPort { At, Diag };

inline const char* PortName(SimPort port) { return port == SimPort::At ? "at" : "diag"; }

struct Emission {
  uint32_t delay_ms = 0;  // from the moment the request's last byte arrived
  std::vector<uint8_t> bytes;
  // Silence kept after the previous emission's last byte has left (a reply in bursts).
  uint32_t gap_ms = 0;
};

// The wire between stick and host: a reply starts after the latency and then flows at the
// line rate (115200 baud, 8-N-1, is 11520 bytes per second).
struct LinkModel {
  uint32_t latency_ms = 2;
  uint32_t bytes_per_second = 11520;

  // Milliseconds, counted from the reply's start, at which byte `index` has fully arrived.
  uint64_t ByteArrivalMs(size_t index) const {
    if (bytes_per_second == 0) return 0;
    return (static_cast<uint64_t>(index) + 1) * 1000 / bytes_per_second;
  }
};

}  // namespace flotilla::sim
