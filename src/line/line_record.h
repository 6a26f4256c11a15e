// LineRecord: the state of one line (one stick) held by the document.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/at_channel.h"
#include "protocol/boot_downloader.h"
#include "protocol/diag.h"
#include "protocol/phone_channel.h"

namespace flotilla::line {

enum class LineOperation : int32_t { Update = 1, None = 2, NvBackup = 3, NvRestore = 4 };

// Document-wide NV handling of an update. Both restoring modes back the items up first;
// RestoreRf leaves the IMEI items out when writing back.
enum class NvMode : int32_t { NoBackup = 0, RestoreRf = 1, RestoreRfAndImei = 2, LoadDefault = 3 };

enum class DeviceState : int32_t { Unknown = 0, NoDevice = 1, Answered = 2 };

// The widths of the path fields; a path longer than its field is refused where it is set.
constexpr size_t kPathWidth = 256;
constexpr size_t kLongPathWidth = 260;

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

struct LineRecord {
  LineRecord(std::unique_ptr<platform::SerialDevice> diag_device,
             std::unique_ptr<platform::SerialDevice> at_device, platform::Clock& clock)
      : diag_channel(std::move(diag_device), clock), at_channel(std::move(at_device), clock) {}

  // Port numbers (the n of COMn); 0 means none. Written by the port lookup and read by other
  // threads, hence atomic.
  std::atomic<int32_t> diag_port{0};
  std::atomic<int32_t> data_port{0};
  protocol::VersionSet version_strings;
  std::string version_text;
  protocol::FlashInfo flash_info;
  std::atomic<DeviceState> device_state{DeviceState::Unknown};
  // The one stop signal of a line: set while an operation runs, cleared to stop it.
  std::atomic<int32_t> running{0};
  LineOperation operation = LineOperation::Update;
  ImageSetPaths paths;
  protocol::PhoneChannel diag_channel;
  protocol::AtChannel at_channel;
};

}  // namespace flotilla::line
