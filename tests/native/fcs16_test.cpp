// The frame check sequence: check value, byte order on the wire, and the good residue.
#include "protocol/fcs16.h"

#include <gtest/gtest.h>

#include <string>

#include "test_bytes.h"

namespace flotilla::protocol {
namespace {

TEST(Fcs16, CheckValueOverTheNineDigits) {
  const std::string digits = "123456789";
  EXPECT_EQ(Fcs16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x906E);
}

TEST(Fcs16, RegisterOverPacketAndItsFcsEndsAtTheGoodResidue) {
  for (const char* hex : {"00", "01", "7e 7d 00 ff", "4b 13 00 00", "06"}) {
    SCOPED_TRACE(hex);
    auto packet = test::Bytes(hex);
    uint16_t fcs = Fcs16(packet.data(), packet.size());
    packet.push_back(static_cast<uint8_t>(fcs & 0xFF));  // low byte first on the wire
    packet.push_back(static_cast<uint8_t>(fcs >> 8));
    EXPECT_EQ(Fcs16Update(kFcsInit, packet.data(), packet.size()), kFcsGood);
  }
}

}  // namespace
}  // namespace flotilla::protocol
