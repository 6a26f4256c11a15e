// flotilla-cli on Windows: COMn ports, the system clock and the system registry.
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "cli_platform.h"
#include "platform/win32/registry.h"
#include "platform/win32/serial_port.h"

namespace flotilla::cli {
namespace {

class Win32CliPlatform : public CliPlatform {
 public:
  int PortNumber(const std::string& argument, int) override {
    if (argument.size() < 4) return 0;
    for (int i = 0; i < 3; ++i)
      if (std::toupper(static_cast<unsigned char>(argument[i])) != "COM"[i]) return 0;
    for (size_t i = 3; i < argument.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(argument[i]))) return 0;
    return std::atoi(argument.c_str() + 3);
  }
  std::string Describe(int port) override { return port ? "COM" + std::to_string(port) : "none"; }
  platform::SerialDeviceFactory& SerialDevices() override { return factory_; }
  platform::Clock& Clock() override { return platform::SystemClock(); }
  platform::Registry& Registry() override { return registry_; }
  uint16_t LanguageId() override { return GetSystemDefaultLangID(); }
  std::string ModuleFileName() override {
    char name[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    return name;
  }
  // The Windows files backend is not part of this build yet.
  platform::FileSystem* Files() override { return nullptr; }

 private:
  platform::Win32SerialFactory factory_;
  platform::Win32Registry registry_;
};

}  // namespace
}  // namespace flotilla::cli

int main(int argc, char** argv) {
  flotilla::cli::Win32CliPlatform platform;
  return flotilla::cli::RunCli(argc, argv, platform);
}
