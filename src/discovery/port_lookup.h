// Finding a line's AT and DIAG ports from the driver registrations, and its AT commands.
#pragma once

#include <string>

#include "platform/registry.h"
#include "line/flotilla_doc.h"

namespace flotilla::discovery {

// Reads the registrations of the modem (AT) drivers and the diagnostics drivers and writes
// the COM numbers found into the line. 1 when either list yielded a device instance.
int LocateDevicePorts(line::CFlotillaDoc& doc, int line, platform::Registry& registry);

// Sends one AT command on the line's open AT channel. 1 when the stick answered and the
// answer is not "error".
int SendLineAtCommand(line::CFlotillaDoc& doc, int line, const std::string& command);

constexpr int kHighestPort = 255;

// "COM12" gives 12: the first three characters are dropped and the number that follows is
// read; 0 when there is none or it lies outside 1 to kHighestPort.
int PortNumberFromName(const std::string& port_name);

}  // namespace flotilla::discovery
