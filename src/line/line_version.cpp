// QueryDeviceVersion at line level.
#include "line/line_version.h"

namespace flotilla::line {

bool QueryDeviceVersion(CFlotillaDoc& doc, int line) {
  LineRecord& record = doc.Line(line);
  std::string text;
  bool found = protocol::ReadDeviceVersion(record.diag_channel, text);
  record.version_text = text;
  record.device_state = found ? DeviceState::Answered : DeviceState::NoDevice;
  return found;
}

}  // namespace flotilla::line
