// Fuzz target: the port lookup's reading of the driver registrations: the services' Count,
// the instance texts and the instances' port names, as the registry may hold them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "discovery/port_lookup.h"
#include "line/flotilla_doc.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"

using namespace flotilla;

namespace {

// The driver services the lookup reads, AT drivers first.
const char* const kServices[] = {
    "KVOusbnmea", "PELUusbmdm6k", "qcusbmdm6k", "HSPADataCardusbmdm6k", "KVOusbser6k",
    "PELUusbser6k", "qcusbser6k", "HSPADataCardusbser6k", "HSPADataCardusbser",
};
constexpr size_t kServiceCount = sizeof kServices / sizeof kServices[0];

// The lines' ports are never opened here.
class NoDevices : public platform::SerialDeviceFactory {
 public:
  std::unique_ptr<platform::SerialDevice> CreateSerialDevice() override { return nullptr; }
};

std::string EnumKey(size_t service) {
  return std::string("SYSTEM\\CurrentControlSet\\Services\\") + kServices[service] + "\\Enum";
}

// The value name the lookup reads the newest instance from: Count - 1, with Count read from
// the first four bytes of the stored value.
std::string InstanceName(const std::vector<uint8_t>& count) {
  uint32_t n = 0;
  for (size_t i = 0; i < 4 && i < count.size(); ++i) n |= uint32_t{count[i]} << (8 * i);
  return std::to_string(static_cast<int64_t>(n) - 1);
}

std::string TextOf(const std::vector<uint8_t>& value) {
  std::string text(value.begin(), value.end());
  return text.substr(0, text.find('\0'));
}

// The input is a list of records: a tag byte, a two-byte little-endian length and the value.
// The tag's high nibble says what the value is (0 a service's Count, 1 its newest instance,
// 2 the PortName of that instance), its low nibble the service (modulo the nine services).
void FillRegistry(const uint8_t* data, size_t size, platform::MemoryRegistry& registry) {
  std::vector<uint8_t> counts[kServiceCount];
  std::vector<uint8_t> instances[kServiceCount];
  std::vector<uint8_t> port_names[kServiceCount];
  bool has_count[kServiceCount] = {}, has_instance[kServiceCount] = {},
       has_port[kServiceCount] = {};
  size_t pos = 0;
  while (pos + 3 <= size) {
    const uint8_t tag = data[pos];
    const size_t length = std::min<size_t>(data[pos + 1] | (data[pos + 2] << 8), size - pos - 3);
    std::vector<uint8_t> value(data + pos + 3, data + pos + 3 + length);
    pos += 3 + length;
    const size_t service = (tag & 0x0F) % kServiceCount;
    switch (tag >> 4) {
      case 0: counts[service] = std::move(value), has_count[service] = true; break;
      case 1: instances[service] = std::move(value), has_instance[service] = true; break;
      case 2: port_names[service] = std::move(value), has_port[service] = true; break;
      default: break;
    }
  }
  for (size_t s = 0; s < kServiceCount; ++s) {
    if (has_count[s]) registry.SetBinary(EnumKey(s), "Count", counts[s]);
    if (has_instance[s])
      registry.SetBinary(EnumKey(s), InstanceName(counts[s]), instances[s]);
    if (has_port[s])
      registry.SetBinary("SYSTEM\\CurrentControlSet\\Enum\\" + TextOf(instances[s]) +
                             "\\Device Parameters",
                         "PortName", port_names[s]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static platform::VirtualClock clock;
  static NoDevices devices;
  static line::CFlotillaDoc doc(line::DocEnvironment{devices, clock, 0x0409, "C:\\F\\f.exe"});
  platform::MemoryRegistry registry;
  FillRegistry(data, size, registry);
  doc.Line(0).data_port = 3;
  doc.Line(0).diag_port = 4;
  discovery::LocateDevicePorts(doc, 0, registry);
  // Every key the lookup opened is closed again.
  if (registry.OpenKeyCount() != 0) std::abort();
  return 0;
}
