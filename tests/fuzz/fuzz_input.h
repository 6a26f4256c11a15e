// Helpers shared by the fuzz targets: reading the fuzz input and a channel whose device
// answers with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "native/scripted_device.h"
#include "platform/virtual_clock.h"

namespace flotilla::fuzz {

// The fuzz input as the targets read it: a leading control byte that picks what is
// exercised, then the bytes the device sends. Keeping the control byte in front lets a seed
// be a real capture with one byte put before it.
struct FuzzInput {
  FuzzInput(const uint8_t* data, size_t size)
      : control(size ? data[0] : 0),
        bytes(size ? reinterpret_cast<const char*>(data) + 1 : "", size ? size - 1 : 0) {}

  uint8_t control;
  std::string bytes;
};

// Splits `bytes` at each zero byte into the device's successive replies (at most `count`;
// the last one keeps any further zeros).
inline std::vector<std::string> SplitReplies(const std::string& bytes, size_t count) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() + 1 < count) {
    size_t zero = bytes.find('\0', start);
    if (zero == std::string::npos) break;
    parts.push_back(bytes.substr(start, zero - start));
    start = zero + 1;
  }
  parts.push_back(bytes.substr(start));
  return parts;
}

// A virtual clock and a scripted device: each write the host makes is answered by the next
// reply of the script.
struct ScriptedLink {
  platform::VirtualClock clock;
  test::ScriptedDevice::Script script;

  // The reply arrives 5 ms after the request; with `split_at` below its length the rest
  // comes `gap_ms` after the first burst, as a reply cut by the USB transfer does.
  void Answer(const std::string& reply, size_t split_at = std::string::npos,
              uint32_t gap_ms = 0) {
    if (split_at >= reply.size()) {
      script.replies.emplace_back(5, reply);
      return;
    }
    script.replies.emplace_back(5, reply.substr(0, split_at), gap_ms, reply.substr(split_at));
  }

  std::unique_ptr<platform::SerialDevice> Device() {
    return std::make_unique<test::ScriptedDevice>(clock, script);
  }
};

}  // namespace flotilla::fuzz
