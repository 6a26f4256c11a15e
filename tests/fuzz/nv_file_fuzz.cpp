// Fuzz target: the NV backup file reader, whose bytes come from whatever file a user names.
// The control byte picks the file: bit 0 clear, the input's bytes as they are (mostly refused
// by their length); bit 0 set, a good backup file with the input laid over it at an offset
// taken from its first three bytes, and its length changed by bits 1 and 2 (kept, one byte
// short, one byte long, cut at the offset). So short inputs reach the record checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "nvdata/nv_table.h"
#include "protocol/byte_order.h"

using namespace flotilla;

namespace {

std::vector<uint8_t> Overlaid(const fuzz::FuzzInput& input) {
  static const std::vector<uint8_t> good = nvdata::EncodeNvFile(nvdata::BuildNvTable());
  std::vector<uint8_t> file = good;
  const std::string& bytes = input.bytes;
  size_t offset = 0;
  for (size_t i = 0; i < 3 && i < bytes.size(); ++i) offset |= static_cast<size_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  offset %= file.size();
  const size_t patch = bytes.size() > 3 ? std::min(bytes.size() - 3, file.size() - offset) : 0;
  if (patch) std::memcpy(file.data() + offset, bytes.data() + 3, patch);
  switch ((input.control >> 1) & 3) {
    case 1: file.pop_back(); break;
    case 2: file.push_back(0); break;
    case 3: file.resize(offset); break;
    default: break;
  }
  return file;
}

// An accepted file is exactly a backup file and reads back as it is.
void CheckAccepted(const std::vector<uint8_t>& file, const nvdata::NvTable& table) {
  if (file.size() != nvdata::kNvFileBytes) std::abort();
  const auto& ids = nvdata::NvTableIds();
  for (size_t i = 0; i < ids.size(); ++i)
    if (table[i].id != ids[i]) std::abort();
  if (table[ids.size()].id != nvdata::kNvEndId) std::abort();
  const std::vector<uint8_t> again = nvdata::EncodeNvFile(table);
  for (size_t i = 0; i < table.size(); ++i) {
    const size_t at = i * nvdata::kNvRecordBytes;
    // Everything but the two reserved fields comes back as it was read.
    if (std::memcmp(&again[at], &file[at], 2) != 0 ||
        std::memcmp(&again[at + 4], &file[at + 4], 130) != 0)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::FuzzInput input(data, size);
  const std::vector<uint8_t> file =
      input.control & 1 ? Overlaid(input)
                        : std::vector<uint8_t>(input.bytes.begin(), input.bytes.end());
  nvdata::NvTable table{};
  const nvdata::NvFileCheck check = nvdata::DecodeNvFile(file.data(), file.size(), table);
  if (check == nvdata::NvFileCheck::Ok) {
    CheckAccepted(file, table);
  } else {
    // A refusal leaves the table as it was.
    for (const nvdata::NvRecord& record : table)
      if (record.id != 0 || record.status != 0) std::abort();
    if (check == nvdata::NvFileCheck::WrongLength && file.size() == nvdata::kNvFileBytes) std::abort();
  }
  return 0;
}
