// The 128-byte version record that the application image carries and the download check
// sends: the one layout the host, the simulated stick and the image generator share.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace flotilla::protocol {

// The host finds the record by these four bytes at the first 4-aligned offset that holds them.
constexpr std::array<uint8_t, 4> kVersionRecordMarker = {0x2C, 0x1A, 0xBE, 0x6E};
constexpr size_t kVersionRecordBytes = 128;

// Byte 0: the marker. Byte 4: the record format (little-endian 32 bit). Byte 8: the firmware
// version text, zero-padded. The rest of the record is zero.
constexpr size_t kVersionRecordFormatOffset = 4;
constexpr uint32_t kVersionRecordFormat = 1;
constexpr size_t kVersionTextOffset = 8;
constexpr size_t kVersionTextField = 64;
// One byte of the field always stays zero, so the text ends inside it.
constexpr size_t kVersionTextMaxLength = kVersionTextField - 1;

using VersionRecordBytes = std::array<uint8_t, kVersionRecordBytes>;

// The record of `version`; a text longer than kVersionTextMaxLength is cut to that length.
inline VersionRecordBytes BuildVersionRecord(const std::string& version) {
  VersionRecordBytes record{};
  std::copy(kVersionRecordMarker.begin(), kVersionRecordMarker.end(), record.begin());
  for (size_t i = 0; i < 4; ++i)
    record[kVersionRecordFormatOffset + i] = static_cast<uint8_t>(kVersionRecordFormat >> (8 * i));
  const size_t length = std::min(version.size(), kVersionTextMaxLength);
  std::copy(version.begin(), version.begin() + static_cast<std::ptrdiff_t>(length),
            record.begin() + kVersionTextOffset);
  return record;
}

// The version text of the `length` bytes at `record`: up to the first zero byte or the end of the
// text field, whichever comes first. Empty when the bytes do not begin with the marker; a record
// cut short yields what text it holds.
inline std::string VersionTextOfRecord(const uint8_t* record, size_t length) {
  if (record == nullptr || length < kVersionRecordMarker.size() ||
      !std::equal(kVersionRecordMarker.begin(), kVersionRecordMarker.end(), record))
    return {};
  std::string text;
  const size_t end = std::min(length, kVersionTextOffset + kVersionTextField);
  for (size_t i = kVersionTextOffset; i < end && record[i] != 0; ++i) text.push_back(static_cast<char>(record[i]));
  return text;
}

}  // namespace flotilla::protocol
