// CFlotillaDoc: the single document, owner of the eight lines and the document-wide settings.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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

  // Lines 0 to 7; texts count them from 1. Any other number gives a spare record without
  // ports, so a stray number reaches no stick and never throws.
  LineRecord& Line(int line) {
    return IsLine(line) ? *lines_[static_cast<size_t>(line)] : *no_line_;
  }
  static bool IsLine(int line) { return line >= 0 && line < kLineCount; }
  platform::Clock& Clock() { return clock_; }

  // Closes the line's diagnostics port when open and opens `port`. True when open.
  bool OpenDiagPort(int line, int port, uint32_t baud);
  // The same for the AT port; an opened AT channel waits 1000 ms and tries twice.
  bool OpenAtPort(int line, int port, uint32_t baud);

  bool German() const { return language_ == 1; }
  std::atomic<NvMode> nv_mode{NvMode::RestoreRfAndImei};
  // The text of the last model check, read by the window while a worker writes it.
  std::string ModelCheckText() const {
    std::lock_guard<std::mutex> lock(model_check_mutex_);
    return model_check_text_;
  }
  void SetModelCheckText(std::string text) {
    std::lock_guard<std::mutex> lock(model_check_mutex_);
    model_check_text_ = std::move(text);
  }
  std::atomic<int32_t> replug_enabled{1};

 private:
  void FillModulePaths(const std::string& module_file_name);

  platform::Clock& clock_;
  int32_t language_;
  mutable std::mutex model_check_mutex_;
  std::string model_check_text_;
  std::array<std::unique_ptr<LineRecord>, kLineCount> lines_;
  std::unique_ptr<LineRecord> no_line_;
};

}  // namespace flotilla::line
