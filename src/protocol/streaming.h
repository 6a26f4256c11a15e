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
// The stream write that probes the programmer without writing anything.
constexpr uint32_t kStreamProbeAddress = 0xFFFFFFFF;

// The flash programmer's error reason words.
const char* StreamErrorText(uint32_t reason);

// Reply parser of the Streaming mode for single-frame replies: an error frame fails (its
// reason kept in the channel, ErrorText untouched); a reply passes only when it answers the
// request (its code is the request's plus one). A stick that is not running the programmer,
// such as a boot downloader that refuses every streaming request, is never taken for it.
bool ParseStreamReply(PhoneChannel& channel);

// What the frames of a stream-write reply say about the block at `address`.
struct StreamReplyScan {
  enum class Verdict {
    Written,      // a sound block-written frame with the block's own address
    Refused,      // an error frame; `reason` holds its reason
    Damaged,      // a frame whose FCS does not hold
    Unconfirmed,  // nothing about this block yet: only other blocks' answers, or a partial frame
  } verdict = Verdict::Unconfirmed;
  uint32_t reason = 0;
  // Bytes of `data` that were complete frames or noise between them; the rest is a frame still
  // open at the end.
  size_t consumed = 0;
};

// Scans the flag-delimited frames of `data` (unescaping them in place). An error frame or a
// damaged frame fails the block, even after its own block-written frame. Any block-written
// frame confirms the probe write (kStreamProbeAddress), which writes nothing.
StreamReplyScan ScanStreamWriteReply(uint8_t* data, size_t length, uint32_t address);

// Sends the framed stream-write request for the block at `address` with WriteStream and
// waits, up to kStreamReplyLimitMs from the send, until a reply confirms or fails the block.
// Answers to other blocks are passed over; a partial frame is waited for; no confirmation
// within the limit is a failure.
bool StreamExchange(PhoneChannel& channel, uint32_t address);

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
