// The driver registrations that announce the stick's ports in the Windows registry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/stick_config.h"

namespace flotilla::sim {

// One value under HKEY_LOCAL_MACHINE.
struct RegistryEntry {
  std::string key;
  std::string name;
  bool is_dword = false;
  uint32_t number = 0;
  std::string text;
};

struct DriverRegistrations {
  std::vector<RegistryEntry> values;
  // The keys that hold them; they go with the stick.
  std::vector<std::string> keys;
};

// For each of the two ports (a COM number of 0 leaves the port out): under
// SYSTEM\CurrentControlSet\Services\<service>\Enum "Count" and the instance ids
// "0".."Count-1", and under SYSTEM\CurrentControlSet\Enum\<instance id>\Device Parameters
// the "PortName" COMn.
DriverRegistrations RegistrationsFor(const StickConfig& config, int at_com, int diag_com);

// The same as a regedit file that writes them, and one that removes their keys.
std::string RegFileAdding(const DriverRegistrations& registrations);
std::string RegFileRemoving(const DriverRegistrations& registrations);

}  // namespace flotilla::sim
