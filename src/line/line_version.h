// QueryDeviceVersion: asks a line's stick for its version and records what it said.
#pragma once

#include "line/flotilla_doc.h"

namespace flotilla::line {

// Sets the line's version text, its nine version strings (empty unless the version set was
// read) and its device state; true when the device answered.
bool QueryDeviceVersion(CFlotillaDoc& doc, int line);

}  // namespace flotilla::line
