// flotilla.exe entry. The update window arrives with the update driver; until then the
// program stages its embedded files (the start-up steps, with the connection
// manager's stop between them), then looks for the stick's modem port and shows the
// firmware version it reports.
#include <windows.h>

#include <memory>
#include <string>

#include "hostenv/connection_manager.h"
#include "images/staging.h"
#include "platform/clock.h"
#include "platform/win32/files.h"
#include "platform/win32/processes.h"
#include "platform/win32/prompts.h"
#include "platform/win32/registry.h"
#include "platform/win32/resources.h"
#include "platform/win32/serial_port.h"
#include "protocol/at_channel.h"

namespace {

// Tries COM1 to COM32 for a port that answers "AT+GMR".
std::string FindFirmwareVersion(int& found_port) {
  using flotilla::protocol::AtChannel;
  for (int port = 1; port <= 32; ++port) {
    AtChannel channel(std::make_unique<flotilla::platform::Win32SerialPort>(),
                      flotilla::platform::SystemClock());
    if (!channel.Port().Open(port)) continue;
    channel.SetReplyTimeout(AtChannel::kLineReplyTimeoutMs);
    channel.SetAttempts(AtChannel::kLineAttempts);
    std::string version;
    if (channel.ReadFirmwareVersion(version)) {
      found_port = port;
      return version;
    }
  }
  found_port = 0;
  return std::string();
}

// The staging directory chain, the embedded files, and between "killsvr.bat" and
// "ResetUSB.dll" the connection manager's lookup and stop. False when the chain could not be
// made ("source file path error!" has been shown).
bool StageEmbeddedFiles() {
  flotilla::platform::Win32FileSystem files;
  flotilla::platform::Win32ModuleResources resources;
  flotilla::platform::Win32Prompts prompts;
  flotilla::platform::Win32Registry registry;
  flotilla::platform::Win32Processes processes;
  flotilla::images::StagingContext staging{files, resources, prompts};
  flotilla::hostenv::ConnectionManager connection_manager(registry, files, processes,
                                                          flotilla::images::kStagingDirectory);
  return flotilla::images::StageImageFiles(staging, [&connection_manager] {
    connection_manager.FindConnectionManager();
    connection_manager.StopConnectionManager();
  });
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // A staging directory that cannot be made ends the program with exit code 0.
  if (!StageEmbeddedFiles()) return 0;
  int port = 0;
  std::string version = FindFirmwareVersion(port);
  std::string text = port ? "Stick on COM" + std::to_string(port) + ", firmware " + version
                          : std::string("No stick found.");
  // The update itself arrives with the update driver.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    text += "\r\n";
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  return port ? 0 : 1;
}
