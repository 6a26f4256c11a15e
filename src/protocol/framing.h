// The HDLC-like framing shared by DIAG, the boot downloader and the streaming protocol.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flotilla::protocol {

// Protocol of the next exchange on a diagnostics port; the numbers are the stored values.
enum class PacketMode : int32_t { Diag = 0, BootDownload = 1, Streaming = 2, Raw = 3 };

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;

// The boot downloader and the flash programmer want a flag in front of every frame; the
// running firmware's DIAG task does not.
constexpr bool HasLeadingFlag(PacketMode mode) {
  return mode == PacketMode::BootDownload || mode == PacketMode::Streaming;
}

// Worst case: every packet and FCS byte escaped, plus both flags.
constexpr size_t MaxFrameLength(size_t packet_length) { return 2 * (packet_length + 2) + 2; }

// Appends the FCS (low byte first), escapes and adds the flags. Returns the frame length, or 0
// when `capacity` cannot hold the frame (nothing useful is then in `out`). `out` must not
// overlap `packet`.
size_t FramePacket(PacketMode mode, const uint8_t* packet, size_t length, uint8_t* out,
                   size_t capacity);

enum class UnframeStatus { Ok, NoEndFlag, BadFcs };

// The channel's words for a framing failure; empty for Ok.
const char* UnframeErrorText(UnframeStatus status);

// Checks and unframes a received frame in place. `length` bytes were received into `data`,
// whose room is `capacity` bytes; in BootDownload and Streaming mode a missing opening flag is
// put in front, which needs `capacity > length` (otherwise the frame counts as lacking its end
// flag). On return `length` is the count of unescaped bytes before the end flag, the two FCS
// bytes included, also when the FCS check fails.
UnframeStatus UnframeInPlace(PacketMode mode, uint8_t* data, size_t& length, size_t capacity);

}  // namespace flotilla::protocol
