// LocateDevicePorts: the driver services' Enum keys, newest instance, its PortName.
#include "discovery/port_lookup.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "discovery/registry_key.h"

namespace flotilla::discovery {
namespace {

// The modem interface's drivers, in the order they are tried.
const char* const kAtServices[] = {
    "SYSTEM\\CurrentControlSet\\Services\\KVOusbnmea\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\PELUusbmdm6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\qcusbmdm6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\HSPADataCardusbmdm6k\\Enum",
};

// The diagnostics interface's drivers, in the order they are tried.
const char* const kDiagServices[] = {
    "SYSTEM\\CurrentControlSet\\Services\\KVOusbser6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\PELUusbser6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\qcusbser6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\HSPADataCardusbser6k\\Enum",
    "SYSTEM\\CurrentControlSet\\Services\\HSPADataCardusbser\\Enum",
};

constexpr uint32_t kValueCapacity = 1024;

// A registry text as stored: cut at its first zero, and safe when stored without one.
std::string TextOf(const uint8_t* data, uint32_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t end = text.find('\0');
  return end == std::string::npos ? text : text.substr(0, end);
}

// The instance identifier of the newest device of the first service that has one.
template <size_t N>
bool FindInstance(CRegistryKey& key, const char* const (&services)[N], std::string& instance) {
  for (const char* service : services) {
    if (key.Open(service, platform::kKeyAllAccess) != platform::kRegistryOk) continue;
    uint32_t count = 0;
    if (key.ReadNumber("Count", count) != platform::kRegistryOk) continue;
    // A Count of 0 names the value "-1", which no driver writes.
    const std::string name = std::to_string(static_cast<int64_t>(count) - 1);
    uint8_t value[kValueCapacity] = {};
    uint32_t size = kValueCapacity;
    if (key.ReadValue(name, value, size) != platform::kRegistryOk) continue;
    instance = TextOf(value, size);
    return true;
  }
  return false;
}

// The COM number of a device instance; false when its PortName cannot be read.
bool PortOfInstance(platform::Registry& registry, const std::string& instance, int& port) {
  CRegistryKey key(registry);
  const std::string path =
      "SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters";
  if (key.Open(path, platform::kKeyAllAccess) != platform::kRegistryOk) return false;
  uint8_t value[kValueCapacity] = {};
  uint32_t size = kValueCapacity;
  if (key.ReadValue("PortName", value, size) != platform::kRegistryOk) return false;
  port = PortNumberFromName(TextOf(value, size));
  return true;
}

}  // namespace

int PortNumberFromName(const std::string& port_name) {
  if (port_name.size() <= 3) return 0;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(port_name.c_str() + 3, &end, 10);
  // Windows numbers its COM ports from 1 to 255; anything else is no port.
  if (errno != 0 || number < 1 || number > kHighestPort) return 0;
  return static_cast<int>(number);
}

int LocateDevicePorts(line::CFlotillaDoc& doc, int line, platform::Registry& registry) {
  line::LineRecord& record = doc.Line(line);
  CRegistryKey key(registry);

  std::string at_instance;
  const bool at_found = FindInstance(key, kAtServices, at_instance);
  key.Close();
  int port = 0;
  if (at_found && PortOfInstance(registry, at_instance, port)) record.data_port = port;

  std::string diag_instance;
  const bool diag_found = FindInstance(key, kDiagServices, diag_instance);
  if (!diag_found) record.diag_port = 0;
  key.Close();
  if (diag_found && PortOfInstance(registry, diag_instance, port)) record.diag_port = port;

  return at_found || diag_found ? 1 : 0;
}

int SendLineAtCommand(line::CFlotillaDoc& doc, int line, const std::string& command) {
  std::string answer;
  return doc.Line(line).at_channel.Command(command, answer) ? 1 : 0;
}

}  // namespace flotilla::discovery
