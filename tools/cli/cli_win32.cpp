// flotilla-cli on Windows: COMn ports, the system clock, the system registry and files.
#include <windows.h>
#include <shellapi.h>
// The files seam has methods of these names; the headers' A/W macros must not rename them.
#undef DeleteFile
#undef ReplaceFile

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_platform.h"
#include "platform/win32/files.h"
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
  platform::FileSystem& Files() override { return files_; }

 private:
  platform::Win32SerialFactory factory_;
  platform::Win32Registry registry_;
  platform::Win32FileSystem files_;
};

// The arguments as UTF-8, the program's own text: main's argv comes in the ANSI code page,
// where a file name with characters outside it cannot be told.
std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return arguments;
  for (int i = 0; i < count; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    if (length > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), length, nullptr, nullptr);
    text.resize(text.size() - 1);  // the terminator the conversion counted
    arguments.push_back(std::move(text));
  }
  LocalFree(wide);
  return arguments;
}

}  // namespace
}  // namespace flotilla::cli

int main(int argc, char** argv) {
  std::vector<std::string> arguments = flotilla::cli::Utf8Arguments();
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  flotilla::cli::Win32CliPlatform platform;
  if (arguments.empty()) return flotilla::cli::RunCli(argc, argv, platform);
  return flotilla::cli::RunCli(static_cast<int>(arguments.size()), pointers.data(), platform);
}
