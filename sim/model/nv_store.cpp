// The NV store and its file.
//
// The file is text, one item per line: the decimal id, a space and 256 lower-case hex digits
// of the value; lines starting with '#' are comments. A later line for the same id replaces
// an earlier one, so a write only appends a line; opening the store rewrites the file with
// one line per item. Once the file exists it is the whole store: an id it lacks is erased.
#include "sim/model/nv_store.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "protocol/byte_order.h"
#include "sim/model/diag_port.h"
#include "sim/model/nv_items.h"

namespace flotilla::sim {
namespace {

constexpr char kFileName[] = "/nv-items.txt";
constexpr char kHeader[] = "# stick-sim NV items: <id> <value as 256 hex digits>; the last line of an id wins\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseLine(const std::string& line, uint16_t& id, NvValue& value) {
  std::istringstream in(line);
  unsigned long number = 0;
  std::string hex, rest;
  if (!(in >> number >> hex) || (in >> rest) || number > 0xFFFF || hex.size() != 2 * kNvItemBytes)
    return false;
  for (size_t i = 0; i < kNvItemBytes; ++i) {
    int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    value[i] = static_cast<uint8_t>(high << 4 | low);
  }
  id = static_cast<uint16_t>(number);
  return true;
}

std::string Line(uint16_t id, const NvValue& value) {
  return std::to_string(id) + " " + Hex(value.data(), value.size()) + "\n";
}

}  // namespace

NvStore::NvStore(uint32_t esn, std::set<uint16_t> inactive, std::set<uint16_t> read_only)
    : inactive_(std::move(inactive)), read_only_(std::move(read_only)) {
  for (uint16_t id : BackupTableIds()) items_[id] = DefaultValue(id, esn);
}

NvValue NvStore::DefaultValue(uint16_t id, uint32_t esn) {
  NvValue value{};
  if (id == 0) {
    protocol::WriteLe32(value.data(), esn);
    return value;
  }
  // A pattern that differs from item to item and now and then needs escaping on the wire.
  for (size_t i = 0; i < kNvItemBytes; ++i)
    value[i] = static_cast<uint8_t>(id * 7u + i * 13u + (id >> 8));
  return value;
}

bool NvStore::Keep(const std::string& dir, std::string& error) {
  const std::string path = dir + kFileName;
  std::ifstream in(path);
  if (in) {
    // The file holds the whole store: an item it lacks was erased (a new file system keeps only
    // the read-only items) and stays erased when the stick starts again.
    items_.clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (line.empty() || line[0] == '#') continue;
      uint16_t id = 0;
      NvValue value{};
      if (!ParseLine(line, id, value)) {
        error = path + ":" + std::to_string(number) + ": not an NV item line";
        return false;
      }
      items_[id] = value;
    }
  }
  path_ = path;
  return Rewrite(error);
}

bool NvStore::Rewrite(std::string& error) const {
  const std::string tmp = path_ + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << kHeader;
    for (const auto& [id, value] : items_) out << Line(id, value);
    if (!out) {
      error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path_.c_str()) != 0) {
    error = "cannot replace " + path_;
    return false;
  }
  return true;
}

void NvStore::EraseWritable() {
  for (auto item = items_.begin(); item != items_.end();)
    item = read_only_.count(item->first) ? std::next(item) : items_.erase(item);
  std::string error;  // a store that cannot be kept said so when it was opened
  if (!path_.empty()) Rewrite(error);
}

uint16_t NvStore::Read(uint16_t id, NvValue& out) const {
  auto item = items_.find(id);
  if (inactive_.count(id) || item == items_.end()) return kNvNotActive;
  out = item->second;
  return kNvDone;
}

uint16_t NvStore::Write(uint16_t id, const NvValue& value) {
  if (inactive_.count(id)) return kNvNotActive;
  if (read_only_.count(id)) return kNvReadOnly;
  items_[id] = value;
  if (!path_.empty()) {
    std::ofstream out(path_, std::ios::app);
    out << Line(id, value);
  }
  return kNvDone;
}

}  // namespace flotilla::sim
