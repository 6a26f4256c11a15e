// The DIAG command set of the running firmware: requests, reply fields and operations.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/phone_channel.h"
#include "protocol/version_record_layout.h"

namespace flotilla::protocol {

constexpr size_t kNvDataBytes = 128;
constexpr size_t kVersionTexts = 9;
constexpr size_t kBuildIdBytes = 256;
constexpr uint16_t kNvStatusNoReply = 0xFFFF;
constexpr uint32_t kNoEsn = 0xFFFFFFFF;

using NvData = std::array<uint8_t, kNvDataBytes>;
using VersionRecord = std::array<uint8_t, kVersionRecordBytes>;
// The nine texts of the version set; text 9 is the model tag. Each holds at most its field's
// width (30 bytes, 31 for text 9).
using VersionSet = std::array<std::string, kVersionTexts>;

// The NV status words; empty for 0 and unknown values.
const char* NvStatusText(uint16_t status);

// Every operation resets the channel first and, on failure, leaves its message in ErrorText.
bool QueryEsn(PhoneChannel& channel, uint32_t& esn);
bool PutOffline(PhoneChannel& channel);
bool ResetPhone(PhoneChannel& channel);
bool ModeChange4(PhoneChannel& channel);
// `data` goes out as the request's data bytes and receives the item; zeroed on failure.
bool ReadNvItem(PhoneChannel& channel, uint16_t item, NvData& data, uint16_t& status);
bool WriteNvItem(PhoneChannel& channel, uint16_t item, const NvData& data, uint16_t& status);
bool QueryVersionSet(PhoneChannel& channel, VersionSet& texts);
bool QueryBuildId(PhoneChannel& channel, std::string& build_id);
bool SwitchToBootDownloader(PhoneChannel& channel);
bool UnlockServiceProgramming(PhoneChannel& channel);
bool PrepareDownloader(PhoneChannel& channel);
bool QuerySubsystem4(PhoneChannel& channel);
// `result` receives the device's verdict (0 accepted, 1 to 3 the known refusals), or -1
// when no matching reply came.
bool DownloadCheck(PhoneChannel& channel, const VersionRecord& record, int& result);
bool SubsystemAA(PhoneChannel& channel, uint8_t parameter);
bool SetAutorun(PhoneChannel& channel, uint8_t parameter);
// The unframed "AT$QCDMG" probe on the diagnostics port.
bool ProbeAtQcdmg(PhoneChannel& channel);
bool CheckCommunication(PhoneChannel& channel);

// The version text of a stick: version text 1, else the build id, else the ESN in hex, else
// "NULL". True when the device answered one of them.
bool ReadDeviceVersion(PhoneChannel& channel, std::string& text);
// The same, also handing out the nine strings of the version set; all empty unless the version
// set itself was read.
bool ReadDeviceVersion(PhoneChannel& channel, std::string& text, VersionSet& strings);

// Splits a version set reply by its raw length (the bytes received before unframing).
VersionSet ParseVersionSet(const uint8_t* fields, size_t length, size_t raw_length);

}  // namespace flotilla::protocol
