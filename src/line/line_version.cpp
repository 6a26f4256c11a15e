// QueryDeviceVersion at line level.
#include "line/line_version.h"

namespace flotilla::line {

bool QueryDeviceVersion(CFlotillaDoc& doc, int line) {
  LineRecord& record = doc.Line(line);
  std::string text;
  protocol::VersionSet strings;
  const bool found = protocol::ReadDeviceVersion(record.diag_channel, text, strings);
  record.texts.SetVersions(std::move(text), std::move(strings));
  record.device_state = found ? DeviceState::Answered : DeviceState::NoDevice;
  return found;
}

}  // namespace flotilla::line
