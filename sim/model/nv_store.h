// The stick's NV store: 128-byte items by id, with inactive and read-only items, kept on disk.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace flotilla::sim {

constexpr size_t kNvItemBytes = 128;
using NvValue = std::array<uint8_t, kNvItemBytes>;

// The statuses the NV task answers with.
constexpr uint16_t kNvDone = 0;
constexpr uint16_t kNvNotActive = 5;
constexpr uint16_t kNvReadOnly = 7;

class NvStore {
 public:
  // Every id of the backup table holds a value; item 0 holds the ESN.
  NvStore(uint32_t esn, std::set<uint16_t> inactive, std::set<uint16_t> read_only);

  // Keeps the store in `dir`/nv-items.txt: what the file holds replaces the defaults, and
  // every later write is added to it. False with `error` set when the file is unreadable.
  bool Keep(const std::string& dir, std::string& error);

  // The status; `out` receives the value when it is kNvDone.
  uint16_t Read(uint16_t id, NvValue& out) const;
  uint16_t Write(uint16_t id, const NvValue& value);

  // Forgets every item but the read-only ones, as a new file system does.
  void EraseWritable();

  // The value an item holds before anything was written to it.
  static NvValue DefaultValue(uint16_t id, uint32_t esn);

 private:
  bool Rewrite(std::string& error) const;

  std::map<uint16_t, NvValue> items_;
  std::set<uint16_t> inactive_;
  std::set<uint16_t> read_only_;
  std::string path_;
};

}  // namespace flotilla::sim
