// Fuzz target: the firmware's replies that the host reads fields from: the version set of
// every reply length, the extended build id, the download check and the other DIAG queries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "protocol/diag.h"

using namespace flotilla;

namespace {

void CheckVersionSet(const protocol::VersionSet& texts) {
  // Each text holds at most its field's width.
  for (size_t i = 0; i < texts.size(); ++i)
    if (texts[i].size() > (i == 8 ? 31u : 30u)) std::abort();
}

void Query(uint8_t which, const std::string& reply) {
  fuzz::ScriptedLink link;
  // Operations with several attempts get the same reply each time.
  for (int i = 0; i < 6; ++i) link.Answer(reply);
  protocol::PhoneChannel channel(link.Device(), link.clock);
  channel.Port().Open(6);
  switch (which) {
    case 0: {
      protocol::VersionSet texts;
      protocol::QueryVersionSet(channel, texts);
      CheckVersionSet(texts);
      break;
    }
    case 1: {
      std::string build_id;
      protocol::QueryBuildId(channel, build_id);
      if (build_id.size() > protocol::kBuildIdBytes) std::abort();
      break;
    }
    case 2: {
      protocol::VersionRecord record{};
      int result = 0;
      protocol::DownloadCheck(channel, record, result);
      break;
    }
    case 3: {
      uint32_t esn = 0;
      protocol::QueryEsn(channel, esn);
      break;
    }
    case 4: {
      protocol::NvData nv{};
      uint16_t status = 0;
      protocol::ReadNvItem(channel, 550, nv, status);
      break;
    }
    case 5:
      protocol::QuerySubsystem4(channel);
      break;
    default: {
      std::string text;
      protocol::ReadDeviceVersion(channel, text);
      break;
    }
  }
}

}  // namespace

// Control byte: bits 0-2 pick the query (the version set, the build id, the download check,
// the ESN, an NV read, the subsystem-4 poll, the whole device version). With bit 3 set the
// version set parser also reads the bytes as unframed fields, under the raw length given by
// the next two bytes, so every layout is reached whatever the input's length.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input(data, size);
  Query(input.control & 7, input.bytes);
  if ((input.control & 8) && input.bytes.size() >= 2) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.bytes.data());
    const size_t raw_length = bytes[0] | (bytes[1] << 8);
    CheckVersionSet(protocol::ParseVersionSet(bytes + 2, input.bytes.size() - 2, raw_length));
  }
  return 0;
}
