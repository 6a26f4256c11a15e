// The version set reply (0x39): nine texts in fixed-width fields, in one of four layouts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace flotilla::sim {

using VersionTexts = std::array<std::string, 9>;

// The reply packet, code first, without FCS. The host chooses its reading of the texts by the
// reply's length on the wire, so the firmware build decides the layout by the same bands: a
// `raw_length` up to 130 gives texts 1-4 in fields of 22, 22, 24 and 24 bytes, 131-240 texts
// 1-4 in 30-byte fields, 241-290 texts 1-8, above 290 all nine (text 9 in 31 bytes). Each
// field is zero-padded and followed by one zero byte; two short texts (build date and time)
// close the reply. The packet is padded with zero bytes or cut at its end so that its frame
// is `raw_length` bytes long (or, where escapes make that impossible, the nearest length in
// the same band). 0 means the natural nine-text reply.
std::vector<uint8_t> BuildVersionSetReply(const VersionTexts& texts, unsigned raw_length);

// Bytes on the wire of a firmware (DIAG) frame of `packet`.
size_t FramedLength(const std::vector<uint8_t>& packet);

}  // namespace flotilla::sim
