// The NV item table, written as the ranges in table order, and the backup file's
// encoding and checked decoding.
#include "nvdata/nv_table.h"

#include <cstring>

#include "protocol/byte_order.h"

namespace flotilla::nvdata {
namespace {

struct IdRange {
  uint16_t first;
  uint16_t last;
};

// A single id is a range of one. 2724 to 2729 and 4965, 4970, 4975 occur twice, each time in
// its own place, and each occurrence is read and written on its own. The IMEI item 550 comes
// last.
constexpr IdRange kIdRanges[] = {
    {0, 0},       {22, 22},     {23, 23},     {90, 90},     {141, 141},   {148, 148},
    {453, 453},   {519, 525},   {529, 545},   {569, 573},   {724, 735},   {740, 816},
    {819, 822},   {856, 876},   {878, 878},   {916, 917},   {1058, 1097}, {1102, 1105},
    {1143, 1144}, {1152, 1158}, {1161, 1161}, {1168, 1169}, {1173, 1176}, {1181, 1184},
    {1186, 1188}, {1196, 1200}, {1284, 1284}, {1297, 1298}, {1323, 1323}, {1336, 1337},
    {1345, 1348}, {1795, 1798}, {1801, 1802}, {1814, 1815}, {1823, 1829}, {1832, 1832},
    {1839, 1840}, {1844, 1847}, {1861, 1864}, {1866, 1868}, {1971, 1976}, {2009, 2020},
    {2724, 2729}, {2030, 2041}, {2055, 2066}, {2521, 2552}, {2585, 2592}, {2553, 2584},
    {2593, 2648}, {2724, 2741}, {2743, 2743}, {2745, 2745}, {2749, 2749}, {2770, 2777},
    {3059, 3062}, {3502, 3505}, {3650, 3651}, {3675, 3675}, {3659, 3665}, {3676, 3676},
    {3680, 3683}, {3688, 3689}, {3691, 3691}, {3693, 3695}, {3706, 3709}, {3714, 3717},
    {3746, 3751}, {3759, 3759}, {3767, 3767}, {3765, 3765}, {3778, 3780}, {3766, 3766},
    {3781, 3783}, {3789, 3790}, {3804, 3812}, {3815, 3817}, {3819, 3848}, {3969, 3984},
    {4179, 4182}, {4161, 4164}, {4169, 4172}, {4994, 4994}, {4403, 4403}, {4401, 4401},
    {4408, 4408}, {4406, 4406}, {4423, 4423}, {4421, 4421}, {4413, 4413}, {4411, 4411},
    {4965, 4965}, {4970, 4970}, {4975, 4975}, {4969, 4969}, {4974, 4974}, {4979, 4979},
    {4871, 4872}, {4965, 4965}, {4970, 4970}, {4975, 4975}, {4990, 4990}, {8000, 8029},
    {550, 550},
};

constexpr size_t kIdOffset = 0;
constexpr size_t kValueOffset = 4;
constexpr size_t kStatusOffset = 132;

}  // namespace

const std::vector<uint16_t>& NvTableIds() {
  static const std::vector<uint16_t> ids = [] {
    std::vector<uint16_t> out;
    for (const IdRange& range : kIdRanges)
      for (unsigned id = range.first; id <= range.last; ++id) out.push_back(static_cast<uint16_t>(id));
    return out;
  }();
  return ids;
}

NvTable BuildNvTable() {
  NvTable table{};
  const std::vector<uint16_t>& ids = NvTableIds();
  for (size_t i = 0; i < ids.size(); ++i) table[i].id = ids[i];
  table[ids.size()].id = kNvEndId;
  return table;
}

std::vector<uint8_t> EncodeNvFile(const NvTable& table) {
  std::vector<uint8_t> bytes(kNvFileBytes, 0);
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t* record = bytes.data() + i * kNvRecordBytes;
    protocol::WriteLe16(record + kIdOffset, table[i].id);
    std::memcpy(record + kValueOffset, table[i].value.data(), protocol::kNvDataBytes);
    protocol::WriteLe16(record + kStatusOffset, table[i].status);
  }
  return bytes;
}

NvFileCheck DecodeNvFile(const uint8_t* bytes, size_t length, NvTable& table) {
  if (length != kNvFileBytes || bytes == nullptr) return NvFileCheck::WrongLength;
  const std::vector<uint16_t>& ids = NvTableIds();
  auto id_at = [bytes](size_t i) { return protocol::ReadLe16(bytes + i * kNvRecordBytes + kIdOffset); };
  for (size_t i = 0; i < ids.size(); ++i)
    if (id_at(i) != ids[i]) return NvFileCheck::OutOfOrder;
  if (id_at(ids.size()) != kNvEndId) return NvFileCheck::NoTerminator;

  for (size_t i = 0; i < table.size(); ++i) {
    const uint8_t* record = bytes + i * kNvRecordBytes;
    table[i].id = protocol::ReadLe16(record + kIdOffset);
    std::memcpy(table[i].value.data(), record + kValueOffset, protocol::kNvDataBytes);
    table[i].status = protocol::ReadLe16(record + kStatusOffset);
  }
  return NvFileCheck::Ok;
}

}  // namespace flotilla::nvdata
