// CFlotillaDoc: the single document, owner of the eight lines and the document-wide settings.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "line/line_record.h"

namespace flotilla::line {

constexpr int kLineCount = 8;
constexpr uint16_t kGermanLanguageId = 0x0407;

// What the document needs from its surroundings.
struct DocEnvironment {
  platform::SerialDeviceFactory& serial_devices;
  platform::Clock& clock;
  uint16_t system_language_id = 0x0409;
  // The program's own file, as the system reports it ("C:\Flotilla\flotilla.exe").
  std::string module_file_name;
};

class CFlotillaDoc {
 public:
  explicit CFlotillaDoc(const DocEnvironment& environment);

  // Lines 0 to 7; texts count them from 1.
  LineRecord& Line(int line) { return *lines_.at(static_cast<size_t>(line)); }
  platform::Clock& Clock() { return clock_; }

  // Closes the line's diagnostics port when open and opens `port`. True when open.
  bool OpenDiagPort(int line, int port, uint32_t baud);
  // The same for the AT port; an opened AT channel waits 1000 ms and tries twice.
  bool OpenAtPort(int line, int port, uint32_t baud);

  bool German() const { return language_ == 1; }
  NvMode nv_mode = NvMode::RestoreRfAndImei;
  std::string model_check_text;
  std::atomic<int32_t> replug_enabled{1};

 private:
  void FillModulePaths(const std::string& module_file_name);

  platform::Clock& clock_;
  int32_t language_;
  std::array<std::unique_ptr<LineRecord>, kLineCount> lines_;
};

}  // namespace flotilla::line
