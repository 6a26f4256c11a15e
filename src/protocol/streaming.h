// The streaming download protocol of the flash programmer: packets, StreamExchange and
// operations.
#pragma once

#include <cstdint>

#include "protocol/phone_channel.h"

namespace flotilla::protocol {

// Stream write blocks, partition tables and image headers are at most this long.
constexpr uint32_t kStreamBlockBytes = 1024;
// How long a stream write waits for its reply.
constexpr uint32_t kStreamReplyLimitMs = 60000;

// The flash programmer's error reason words.
const char* StreamErrorText(uint32_t reason);

// Reply parser of the Streaming mode for single-frame replies: an error frame fails (its
// reason kept in the channel, ErrorText untouched); every other reply passes.
bool ParseStreamReply(PhoneChannel& channel);

// Sends the framed request with WriteStream and checks every frame of the reply.
bool StreamExchange(PhoneChannel& channel);

bool StreamHello(PhoneChannel& channel);
bool StreamNop(PhoneChannel& channel);
bool StreamSecurityMode(PhoneChannel& channel);
bool StreamPartitionTable(PhoneChannel& channel, const uint8_t* table, uint32_t length);
// Types 4, 5 and 10 carry the header; 1, 2, 3 and 9 go without; any other type is sent as
// the bare open request.
bool StreamOpenMultiImage(PhoneChannel& channel, uint8_t type, const uint8_t* header,
                          uint32_t length);
bool StreamWrite(PhoneChannel& channel, const uint8_t* data, uint32_t address, uint32_t length);
bool StreamClose(PhoneChannel& channel);
bool StreamReset(PhoneChannel& channel);

}  // namespace flotilla::protocol
