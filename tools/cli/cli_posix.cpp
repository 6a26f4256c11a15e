// flotilla-cli on Linux: ports are device paths (stick-sim's links), the system clock, and a
// registry that lists a named port as registered while its device path exists.
#include <sys/stat.h>

#include <map>
#include <string>

#include "cli_platform.h"
#include "platform/memory_registry.h"
#include "platform/port_map.h"
#include "platform/posix/files.h"
#include "platform/posix/serial_port.h"

namespace flotilla::cli {
namespace {

// The drivers the stand-in registrations claim: one modem and one diagnostics service.
const char kAtService[] = "SYSTEM\\CurrentControlSet\\Services\\qcusbmdm6k\\Enum";
const char kDiagService[] = "SYSTEM\\CurrentControlSet\\Services\\qcusbser6k\\Enum";

// Stands in for the driver registrations: a port named on the command line counts as
// registered while its device path exists, checked afresh at every key opened.
class LinkRegistry : public platform::Registry {
 public:
  explicit LinkRegistry(const std::map<int, std::string>& paths) : paths_(paths) {}

  long OpenLocalMachineKey(const std::string& path, uint32_t access,
                           platform::RegistryHandle& key) override {
    Refresh();
    return registrations_.OpenLocalMachineKey(path, access, key);
  }
  long QueryValue(platform::RegistryHandle key, const std::string& name, uint8_t* data,
                  uint32_t& size) override {
    return registrations_.QueryValue(key, name, data, size);
  }
  long CloseKey(platform::RegistryHandle key) override { return registrations_.CloseKey(key); }

 private:
  void Refresh() {
    registrations_.Clear();
    for (const auto& [port, path] : paths_) {
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) continue;  // the stick is away
      const bool diag = port == 1;
      const std::string instance = std::string(diag ? "USB\\FLOTILLA_DIAG" : "USB\\FLOTILLA_AT") + "\\0";
      const char* service = diag ? kDiagService : kAtService;
      registrations_.SetDword(service, "Count", 1);
      registrations_.SetString(service, "0", instance);
      registrations_.SetString("SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters",
                               "PortName", "COM" + std::to_string(port));
    }
  }

  const std::map<int, std::string>& paths_;
  platform::MemoryRegistry registrations_;
};

class PosixCliPlatform : public CliPlatform {
 public:
  int PortNumber(const std::string& argument, int role_hint) override {
    ports_.Set(role_hint, argument);
    paths_[role_hint] = argument;
    return role_hint;
  }
  std::string Describe(int port) override {
    auto it = paths_.find(port);
    return it == paths_.end() ? "none" : it->second;
  }
  platform::SerialDeviceFactory& SerialDevices() override { return factory_; }
  platform::Clock& Clock() override { return platform::SystemClock(); }
  platform::Registry& Registry() override { return registry_; }
  uint16_t LanguageId() override { return 0x0409; }
  std::string ModuleFileName() override { return "flotilla-cli"; }
  platform::FileSystem& Files() override { return files_; }

 private:
  platform::PortMap ports_;
  std::map<int, std::string> paths_;
  platform::PosixSerialFactory factory_{ports_};
  LinkRegistry registry_{paths_};
  platform::PosixFileSystem files_;
};

}  // namespace
}  // namespace flotilla::cli

int main(int argc, char** argv) {
  flotilla::cli::PosixCliPlatform platform;
  return flotilla::cli::RunCli(argc, argv, platform);
}
