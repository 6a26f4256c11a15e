// The capture file writer.
#include "sim/model/capture.h"

#include "sim/model/diag_port.h"

namespace flotilla::sim {

Capture::~Capture() {
  if (file_) std::fclose(file_);
}

bool Capture::OpenFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void Capture::Record(uint64_t ms, SimPort port, Direction direction, const uint8_t* data,
                     size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_ || length == 0) return;
  std::fprintf(file_, "%llu %s %s %s\n", static_cast<unsigned long long>(ms), PortName(port),
               direction == Direction::HostToDevice ? "h2d" : "d2h", Hex(data, length).c_str());
  std::fflush(file_);
}

}  // namespace flotilla::sim
