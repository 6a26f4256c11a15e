// The frame check sequence of the stick's packet framing: RFC 1662 FCS-16 (CRC-16/X.25).
#pragma once

#include <cstddef>
#include <cstdint>

namespace flotilla::protocol {

constexpr uint16_t kFcsInit = 0xFFFF;
// What the register holds after running over a packet and its own FCS.
constexpr uint16_t kFcsGood = 0xF0B8;

// Runs the FCS register over `data` without the final complement.
uint16_t Fcs16Update(uint16_t fcs, const uint8_t* data, size_t length);

// The FCS to append to a packet: the register from kFcsInit, complemented.
inline uint16_t Fcs16(const uint8_t* data, size_t length) {
  return static_cast<uint16_t>(~Fcs16Update(kFcsInit, data, length));
}

}  // namespace flotilla::protocol
