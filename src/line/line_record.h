// LineRecord: the state of one line (one stick) held by the document.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/at_channel.h"
#include "protocol/boot_downloader.h"
#include "protocol/diag.h"
#include "protocol/phone_channel.h"
#include "line/status_history.h"

namespace flotilla::line {

enum class LineOperation : int32_t { Update = 1, None = 2, NvBackup = 3, NvRestore = 4 };

// Document-wide NV handling of an update. Both restoring modes back the items up first;
// RestoreRf leaves the IMEI items out when writing back.
enum class NvMode : int32_t { NoBackup = 0, RestoreRf = 1, RestoreRfAndImei = 2, LoadDefault = 3 };

enum class DeviceState : int32_t { Unknown = 0, NoDevice = 1, Answered = 2 };

// The widths of the path fields; a path longer than its field is refused where it is set.
constexpr size_t kPathWidth = 256;
constexpr size_t kLongPathWidth = 260;

// Whether a path of `length` characters fits a field of `width`, whose last place holds the
// terminating zero.
constexpr bool FitsPathField(size_t length, size_t width) { return length < width; }

// Puts `path` into a path field of `width`. A longer path is refused: the field keeps what it
// held and the result is false, so no path is ever cut short into another file's name.
inline bool SetPath(std::string& field, const std::string& path, size_t width) {
  if (!FitsPathField(path.size(), width)) return false;
  field = path;
  return true;
}

struct ImageSetPaths {
  std::string partition_table;
  std::string qcsbl_header;
  std::string qcsbl;
  std::string oemsbl_header;
  std::string oemsbl;
  std::string amss_header;
  std::string amss;
  std::string image_directory;  // empty: the line has no image set
  std::string efs_image;
  std::string nand_programmer_header;
  std::string nand_programmer;
  std::string nv_directory;  // empty: the line has no NV directory
  std::string flash_programmer;
  std::string nv_backup_file;
  std::string default_nv_file;
};

// The texts a device watch, a worker and the window read and write at once. Each read hands
// out a copy taken under the lock, so no thread reads a string while another assigns it.
class LineTexts {
 public:
  std::string VersionText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_text_;
  }
  protocol::VersionSet VersionStrings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_strings_;
  }
  // Version string n, counted from 1 (3 is the one UPDATE needs, 9 the model tag).
  std::string VersionString(size_t n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return n >= 1 && n <= version_strings_.size() ? version_strings_[n - 1] : std::string();
  }
  void SetVersionText(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_text_ = std::move(text);
  }
  void SetVersionStrings(protocol::VersionSet strings) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_strings_ = std::move(strings);
  }
  // What one version query found: its text and the nine strings (all empty when it failed).
  void SetVersions(std::string text, protocol::VersionSet strings) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_text_ = std::move(text);
    version_strings_ = std::move(strings);
  }

 private:
  mutable std::mutex mutex_;
  std::string version_text_;
  protocol::VersionSet version_strings_;
};

struct LineRecord {
  LineRecord(std::unique_ptr<platform::SerialDevice> diag_device,
             std::unique_ptr<platform::SerialDevice> at_device, platform::Clock& clock)
      : diag_channel(std::move(diag_device), clock), at_channel(std::move(at_device), clock) {}

  // Port numbers (the n of COMn); 0 means none. Written by the port lookup and read by other
  // threads, hence atomic.
  std::atomic<int32_t> diag_port{0};
  std::atomic<int32_t> data_port{0};
  LineTexts texts;
  // The status lines of the current operation; the action log writes them.
  StatusHistory history;
  protocol::FlashInfo flash_info;
  std::atomic<DeviceState> device_state{DeviceState::Unknown};
  // The one stop signal of a line: set while an operation runs, cleared to stop it.
  std::atomic<int32_t> running{0};
  std::atomic<LineOperation> operation{LineOperation::Update};
  ImageSetPaths paths;
  protocol::PhoneChannel diag_channel;
  protocol::AtChannel at_channel;
};

}  // namespace flotilla::line
