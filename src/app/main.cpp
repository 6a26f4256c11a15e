// flotilla.exe entry. The update window arrives with the update driver; until then the
// program looks for the stick's modem port and shows the firmware version it reports.
#include <windows.h>

#include <memory>
#include <string>

#include "platform/clock.h"
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

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
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
