// Fuzz target: the simulated stick's answer to arbitrary bytes from the host, on its DIAG
// port in each mode and on its AT port.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "sim/model/stick.h"

using namespace flotilla;

namespace {

sim::StickConfig FuzzConfig() {
  sim::StickConfig config;
  // Keep an image small, so a far write address costs little memory per run.
  config.max_image_bytes = 1u << 20;
  return config;
}

}  // namespace

// Control byte: bits 0-1 pick where the bytes go (the AT port, or the DIAG port of the
// firmware, the boot downloader or the flash programmer). Bits 2-7 not all 0 feed the bytes
// in chunks of that many, as a serial port hands over what it has; otherwise all at once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const sim::StickConfig kConfig = FuzzConfig();
  fuzz::FuzzInput input(data, size);
  sim::StickModel stick(kConfig);
  sim::SimPort port = sim::SimPort::Diag;
  switch (input.control & 3) {
    case 0: port = sim::SimPort::At; break;
    case 1: stick.Firmware().mode = sim::StickMode::Firmware; break;
    case 2: stick.Firmware().mode = sim::StickMode::BootDownloader; break;
    default: stick.Firmware().mode = sim::StickMode::FlashProgrammer; break;
  }
  const size_t chunk = input.control >> 2 ? input.control >> 2 : input.bytes.size();
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.bytes.data());
  uint64_t now_ms = 0;
  for (size_t pos = 0; pos < input.bytes.size(); pos += chunk, now_ms += 3) {
    const size_t length = std::min(chunk, input.bytes.size() - pos);
    stick.Receive(port, bytes + pos, length, now_ms);
    // A reset the stick accepted is carried out at once, as the transports do.
    if (stick.TakeReenumeration()) stick.Restart();
  }
  return 0;
}
