// The driver registrations of the stick's two ports, and their regedit form.
#include "sim/model/driver_registrations.h"

#include <cstdio>
#include <map>

namespace flotilla::sim {
namespace {

const char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kInstances[] = "SYSTEM\\CurrentControlSet\\Enum\\";
const char kRoot[] = "HKEY_LOCAL_MACHINE\\";

// A regedit string: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

DriverRegistrations RegistrationsFor(const StickConfig& config, int at_com, int diag_com) {
  struct Port {
    const std::string& service;
    const std::string& instance;
    int com;
  };
  const Port ports[] = {{config.at_service, config.at_instance, at_com},
                        {config.diag_service, config.diag_instance, diag_com}};
  // A driver that served both ports would list both instances.
  std::map<std::string, std::vector<std::string>> instances;
  std::vector<std::string> order;
  for (const Port& p : ports) {
    if (p.com <= 0) continue;  // a port the stick does not present now
    if (!instances.count(p.service)) order.push_back(p.service);
    instances[p.service].push_back(p.instance);
  }

  DriverRegistrations out;
  for (const std::string& service : order) {
    const std::string key = kServices + service + "\\Enum";
    const auto& list = instances[service];
    out.keys.push_back(key);
    out.values.push_back({key, "Count", true, static_cast<uint32_t>(list.size()), ""});
    out.values.push_back({key, "NextInstance", true, static_cast<uint32_t>(list.size()), ""});
    for (size_t i = 0; i < list.size(); ++i)
      out.values.push_back({key, std::to_string(i), false, 0, list[i]});
  }
  for (const Port& p : ports) {
    if (p.com <= 0) continue;
    const std::string instance_key = kInstances + p.instance;
    out.keys.push_back(instance_key);
    out.values.push_back({instance_key + "\\Device Parameters", "PortName", false, 0,
                          "COM" + std::to_string(p.com)});
  }
  return out;
}

std::string RegFileAdding(const DriverRegistrations& registrations) {
  std::string out = "REGEDIT4\r\n";
  std::string current;
  for (const RegistryEntry& e : registrations.values) {
    if (e.key != current) {
      out += "\r\n[" + std::string(kRoot) + e.key + "]\r\n";
      current = e.key;
    }
    out += Quoted(e.name) + "=";
    if (e.is_dword) {
      char number[16];
      std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(e.number));
      out += number;
    } else {
      out += Quoted(e.text);
    }
    out += "\r\n";
  }
  return out;
}

std::string RegFileRemoving(const DriverRegistrations& registrations) {
  std::string out = "REGEDIT4\r\n";
  for (const std::string& key : registrations.keys) out += "\r\n[-" + std::string(kRoot) + key + "]\r\n";
  return out;
}

}  // namespace flotilla::sim
