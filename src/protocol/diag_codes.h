// The command codes of the running firmware's DIAG requests, shared by the host and the
// simulated stick so both speak the same numbers.
#pragma once

#include <cstdint>

namespace flotilla::protocol::diag_code {

constexpr uint8_t kEsn = 0x01;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;
constexpr uint8_t kModeChange = 0x29;
constexpr uint8_t kVersionSet = 0x39;
constexpr uint8_t kDownloaderSwitch = 0x3A;
constexpr uint8_t kSpcUnlock = 0x41;
constexpr uint8_t kSubsystem = 0x4B;
constexpr uint8_t kPrepareDownloader = 0x5C;
constexpr uint8_t kBuildId = 0x7C;

}  // namespace flotilla::protocol::diag_code
