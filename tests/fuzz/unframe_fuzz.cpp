// Fuzz target: unframing of a received reply in each packet mode, through the channel and
// through UnframeInPlace with and without room for the opening flag it may insert.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "protocol/framing.h"
#include "protocol/phone_channel.h"

using namespace flotilla;

namespace {

// Unframes a copy that sits in a heap block of exactly `capacity` bytes, so the sanitizer
// sees any write past the room the caller declared.
void UnframeCopy(protocol::PacketMode mode, const std::string& bytes, size_t capacity) {
  std::vector<uint8_t> block(capacity);
  if (!bytes.empty()) std::memcpy(block.data(), bytes.data(), bytes.size());
  size_t length = bytes.size();
  protocol::UnframeInPlace(mode, block.data(), length, capacity);
  // The unescaped frame never grows beyond the room it was given.
  if (length > capacity) std::abort();
}

// The channel's own path: the received bytes as the exchange stores them, then the mode's
// reply parser.
void UnframeThroughChannel(protocol::PacketMode mode, const std::string& bytes) {
  platform::VirtualClock clock;
  protocol::PhoneChannel channel(nullptr, clock);
  channel.SetMode(mode);
  channel.ResetForRequest();
  channel.AppendReceived(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  channel.UnframeReply();
  // The reply fields the parsers read must lie inside the receive buffer.
  if (channel.ReceiveLength() > protocol::PhoneChannel::kReceiveCapacity) std::abort();
}

}  // namespace

// Control byte: bits 0-1 the packet mode; bit 2 set leaves no room for an inserted flag.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto mode = static_cast<protocol::PacketMode>(input.control & 3);
  const bool no_room = (input.control & 4) != 0;
  UnframeCopy(mode, input.bytes, input.bytes.size() + (no_room ? 0 : 1));
  UnframeThroughChannel(mode, input.bytes);
  return 0;
}
