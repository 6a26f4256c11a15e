// CFlotillaDoc: line creation, module-relative paths and the port (re)opening.
#include "line/flotilla_doc.h"

#include <string>

namespace flotilla::line {

CFlotillaDoc::CFlotillaDoc(const DocEnvironment& environment)
    : clock_(environment.clock),
      language_(environment.system_language_id == kGermanLanguageId ? 1 : 0) {
  for (int i = 0; i < kLineCount; ++i) {
    auto line = std::make_unique<LineRecord>(environment.serial_devices.CreateSerialDevice(),
                                             environment.serial_devices.CreateSerialDevice(),
                                             environment.clock);
    line->diag_port = i == 0 ? 1 : 0;
    line->texts.SetVersionText(German() ? "Kein Telefon" : "NULL");
    lines_[static_cast<size_t>(i)] = std::move(line);
  }
  no_line_ = std::make_unique<LineRecord>(environment.serial_devices.CreateSerialDevice(),
                                          environment.serial_devices.CreateSerialDevice(),
                                          environment.clock);
  FillModulePaths(environment.module_file_name);
}

void CFlotillaDoc::FillModulePaths(const std::string& module_file_name) {
  // Drive and directory of the program, with the directory's trailing backslash. A path that
  // does not fit its field stays empty: an empty NV directory is refused by the NV commands,
  // where a cut one would name some other directory.
  const size_t slash = module_file_name.find_last_of("\\/");
  const std::string directory =
      slash == std::string::npos ? std::string() : module_file_name.substr(0, slash + 1);
  for (int i = 0; i < kLineCount; ++i) {
    ImageSetPaths& paths = Line(i).paths;
    SetPath(paths.flash_programmer, directory + "armprg.bin", kLongPathWidth);
    SetPath(paths.nv_directory, directory, kPathWidth);
    SetPath(paths.nv_backup_file, directory + "\\Channel" + std::to_string(i + 1) + ".nvm",
            kLongPathWidth);
  }
}

bool CFlotillaDoc::OpenDiagPort(int line, int port, uint32_t baud) {
  protocol::SerialPort& link = Line(line).diag_channel.Port();
  if (link.IsOpen()) link.Close();
  return port != 0 && link.Open(port, baud);
}

bool CFlotillaDoc::OpenAtPort(int line, int port, uint32_t baud) {
  protocol::AtChannel& channel = Line(line).at_channel;
  if (channel.Port().IsOpen()) channel.Port().Close();
  if (port == 0 || !channel.Port().Open(port, baud)) return false;
  channel.SetReplyTimeout(protocol::AtChannel::kLineReplyTimeoutMs);
  channel.SetAttempts(protocol::AtChannel::kLineAttempts);
  return true;
}

}  // namespace flotilla::line
