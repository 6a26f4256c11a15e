// The NV item table  and the backup file it is written to: 1125 records of 136
// bytes, 153,000 bytes in all, no header and no trailer, every number little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/diag.h"

namespace flotilla::nvdata {

constexpr size_t kNvTableRecords = 1125;
constexpr size_t kNvRecordBytes = 136;
constexpr size_t kNvFileBytes = kNvTableRecords * kNvRecordBytes;  // 153,000
// The items the table lists, repeated ids included; the terminator follows them.
constexpr size_t kNvListedItems = 646;
constexpr uint16_t kNvEndId = 10000;

// One record as the file holds it: id at 0, reserved at 2, the value at 4, the read status
// at 132, reserved at 134.
struct NvRecord {
  uint16_t id = 0;
  protocol::NvData value{};
  // 0 read; 0xFFFF no valid answer; anything else the status the device answered.
  uint16_t status = 0;
};

using NvTable = std::array<NvRecord, kNvTableRecords>;

// The listed ids in table order (646 of them).
const std::vector<uint16_t>& NvTableIds();

// The table as the backup starts from it: the listed ids with zero values and statuses, the
// terminator 10000, then all-zero records.
NvTable BuildNvTable();

// The 153,000 bytes of the file; the reserved fields are written as zero.
std::vector<uint8_t> EncodeNvFile(const NvTable& table);

enum class NvFileCheck {
  Ok,
  WrongLength,    // not exactly 153,000 bytes
  OutOfOrder,     // a listed record whose id is not the table's at its place
  NoTerminator,   // the record after the listed ones is not the terminator 10000
};

// Reads a backup file's bytes, which come from outside and are trusted in nothing: the length
// must be 153,000, the first 646 records must carry the table's ids in the table's order and
// the next one the terminator. The records after the terminator are not looked at (the
// restore never reaches them). `table` is filled only when the result is Ok.
NvFileCheck DecodeNvFile(const uint8_t* bytes, size_t length, NvTable& table);

}  // namespace flotilla::nvdata
