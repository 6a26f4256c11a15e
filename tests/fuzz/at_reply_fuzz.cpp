// Fuzz target: the AT channel's reading of the modem port's replies: echo, first line,
// firmware version, the +ZDIAG mode digit, OK and ERROR.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "protocol/at_channel.h"

using namespace flotilla;

namespace {

void Converse(uint8_t which, const std::string& bytes) {
  fuzz::ScriptedLink link;
  // Up to two commands; a zero byte separates their replies.
  for (const std::string& reply : fuzz::SplitReplies(bytes, 2)) link.Answer(reply);
  protocol::AtChannel channel(link.Device(), link.clock);
  channel.Port().Open(5);
  channel.SetAttempts(1);
  switch (which) {
    case 0: {
      std::string version;
      channel.ReadFirmwareVersion(version);
      break;
    }
    case 1: {
      const int mode = channel.QueryDiagMode();
      if (mode < 0 || mode > 9) std::abort();
      break;
    }
    case 2:
      channel.SetDiagMode(protocol::kDiagPortMode);
      break;
    default:
      protocol::EnsureDiagPort(channel);
      break;
  }
  if (channel.LastReply().size() > protocol::AtChannel::kMaxReplyBytes) std::abort();
}

}  // namespace

// Control byte: bits 0-1 pick the exchange (AT+GMR, AT+ZDIAG?, AT+ZDIAG=6, or the query
// followed by the switch when the mode is not 6). FirstReplyLine also reads the bytes as
// they are, without the channel's limit on a reply's length.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input(data, size);
  Converse(input.control & 3, input.bytes);
  std::string line;
  if (protocol::FirstReplyLine(input.bytes, line) && line.size() > input.bytes.size())
    std::abort();
  return 0;
}
