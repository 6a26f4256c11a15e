// Fuzz target: the flash programmer's reply to a stream write (and to any request sent
// with StreamExchange), frames and error frames as the device may send them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "protocol/download_codes.h"
#include "protocol/streaming.h"

using namespace flotilla;

namespace {

// Control byte: bit 0 sends a NOP through StreamExchange as if it were the probe write (any
// block-written frame confirms it) instead of a stream write to one block's address. Bits 1-7
// not all 0 send the reply in two bursts: bits 1-6 place the cut in 64ths of its length,
// bit 7 makes the gap between the bursts 50 ms instead of 1 ms.
void Exchange(uint8_t control, const std::string& reply) {
  fuzz::ScriptedLink link;
  const uint32_t cut = control >> 1;
  if (cut == 0) {
    link.Answer(reply);
  } else {
    link.Answer(reply, reply.size() * (cut & 0x3F) / 64, (cut & 0x40) ? 50 : 1);
  }
  protocol::PhoneChannel channel(link.Device(), link.clock);
  channel.Port().Open(7);
  if (control & 1) {
    const uint8_t fields[] = {0x11};
    channel.ResetForRequest();
    channel.SetMode(protocol::PacketMode::Streaming);
    if (!channel.SetRequest(protocol::stream_code::kNop, fields, sizeof fields)) std::abort();
    protocol::StreamExchange(channel, protocol::kStreamProbeAddress);
  } else {
    uint8_t block[64];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(i * 7);
    protocol::StreamWrite(channel, block, 0x00200000, sizeof block);
  }
  if (channel.ReceiveLength() > protocol::PhoneChannel::kReceiveCapacity) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input(data, size);
  Exchange(input.control, input.bytes);
  return 0;
}
