// The command codes of the boot downloader and the flash programmer's streaming protocol,
// shared by the host and the simulated stick so both speak the same numbers.
#pragma once

#include <cstdint>

namespace flotilla::protocol {

// The boot downloader (big-endian fields).
namespace dload_code {
constexpr uint8_t kAck = 0x02;
constexpr uint8_t kNak = 0x03;
constexpr uint8_t kGo = 0x05;
constexpr uint8_t kNop = 0x06;
constexpr uint8_t kParameterRequest = 0x07;
constexpr uint8_t kParameters = 0x08;
constexpr uint8_t kReset = 0x0A;
constexpr uint8_t kWrite32 = 0x0F;
}  // namespace dload_code

// The flash programmer (little-endian fields). A reply's code is its request's code plus one,
// except the error frame.
namespace stream_code {
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kHelloReply = 0x02;
constexpr uint8_t kWrite = 0x07;
constexpr uint8_t kBlockWritten = 0x08;
constexpr uint8_t kNop = 0x09;
constexpr uint8_t kReset = 0x0B;
constexpr uint8_t kError = 0x0D;
constexpr uint8_t kClose = 0x15;
constexpr uint8_t kSecurityMode = 0x17;
constexpr uint8_t kPartitionTable = 0x19;
constexpr uint8_t kOpenMultiImage = 0x1B;
}  // namespace stream_code

}  // namespace flotilla::protocol
