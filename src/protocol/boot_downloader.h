// The boot downloader protocol of the stick's boot code: packets and operations.
#pragma once

#include <cstdint>

#include "protocol/phone_channel.h"

namespace flotilla::protocol {

// What the boot downloader reports about itself and the flash in its parameters reply.
struct FlashInfo {
  uint8_t protocol_version = 0;
  uint8_t minimum_version = 0;
  uint32_t maximum_write_size = 0;
  uint8_t model = 0;
  uint8_t device_size_code = 0;
  uint8_t device_type = 0;

  bool operator==(const FlashInfo& o) const {
    return protocol_version == o.protocol_version && minimum_version == o.minimum_version &&
           maximum_write_size == o.maximum_write_size && model == o.model &&
           device_size_code == o.device_size_code && device_type == o.device_type;
  }
};

// The largest write: code, 4 address bytes, 2 length bytes and this make 1024 bytes.
constexpr uint32_t kDloadMaxWrite = 1017;

// The negative acknowledge reason words; empty for unknown reasons.
const char* DloadNakText(uint16_t reason);

// Reply parser of the BootDownload mode: an acknowledge or any other code passes, a negative
// acknowledge fails with its reason.
bool ParseBootReply(PhoneChannel& channel);

bool DloadNop(PhoneChannel& channel);
// `info` is zeroed when the query fails.
bool DloadParameters(PhoneChannel& channel, FlashInfo& info);
bool DloadWrite(PhoneChannel& channel, uint32_t address, const uint8_t* data, uint32_t length);
bool DloadGo(PhoneChannel& channel, uint16_t segment, uint16_t offset);
bool DloadReset(PhoneChannel& channel);

}  // namespace flotilla::protocol
