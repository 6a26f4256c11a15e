// What flotilla-cli needs from the platform it runs on; one implementation per platform.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/serial_device.h"

namespace flotilla::cli {

class CliPlatform {
 public:
  virtual ~CliPlatform() = default;
  // Turns a PORT argument (a device path, or COMn on Windows) into a port number; 0 when it
  // names no port. `role_hint` is the number to give a path-named port.
  virtual int PortNumber(const std::string& argument, int role_hint) = 0;
  // How the user would name port `port` ("COM5", or the device path).
  virtual std::string Describe(int port) = 0;
  virtual platform::SerialDeviceFactory& SerialDevices() = 0;
  virtual platform::Clock& Clock() = 0;
  // The driver registrations that the port lookup reads.
  virtual platform::Registry& Registry() = 0;
  virtual uint16_t LanguageId() = 0;
  virtual std::string ModuleFileName() = 0;
  // The host's files, for the NV backup file.
  virtual platform::FileSystem& Files() = 0;
};

// Parses the command line and runs the command; the process exit code.
int RunCli(int argc, char** argv, CliPlatform& platform);

}  // namespace flotilla::cli
