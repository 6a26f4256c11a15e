// RFC 1662 FCS-16, table-driven one byte at a time (reflected polynomial 0x8408).
#include "protocol/fcs16.h"

#include <array>

namespace flotilla::protocol {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned v = b;
    for (int i = 0; i < 8; ++i) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    table[b] = static_cast<uint16_t>(v);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t Fcs16Update(uint16_t fcs, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) fcs = static_cast<uint16_t>((fcs >> 8) ^ kTable[(fcs ^ data[i]) & 0xFF]);
  return fcs;
}

}  // namespace flotilla::protocol
