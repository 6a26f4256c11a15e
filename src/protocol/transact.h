// Transact: one request/reply exchange on a PhoneChannel, with attempts and a time-out.
#pragma once

#include <cstdint>

#include "protocol/phone_channel.h"

namespace flotilla::protocol {

// The caller has reset the channel and set the mode, the command and its fields (or, in Raw
// mode, the packet). The request is framed once and sent once per attempt. True on the first
// reply that passes its checks; in Raw mode true when every attempt sent and received (the
// caller judges the bytes of the last reply, left unframed in the receive buffer).
bool Transact(PhoneChannel& channel, uint8_t attempts, uint32_t timeout_ms);

// The channel's words for a DIAG error reply code.
const char* DiagErrorText(uint8_t code);

}  // namespace flotilla::protocol
