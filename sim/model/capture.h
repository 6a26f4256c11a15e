// The capture: every chunk of bytes on each port and in each direction, time-stamped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "sim/model/emission.h"

namespace flotilla::sim {

enum class Direction { HostToDevice, DeviceToHost };

// One line per chunk: "<ms since start> <at|diag> <h2d|d2h> <hex>".
class Capture {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  bool OpenFile(const std::string& path);
  void Record(uint64_t ms, SimPort port, Direction direction, const uint8_t* data, size_t length);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace flotilla::sim
