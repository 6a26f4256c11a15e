// Hex helpers for readable byte tables in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flotilla::test {

inline std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : hex)
    if (c != ' ') digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string Hex(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (i) out.push_back(' ');
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

inline std::string Hex(const std::vector<uint8_t>& v) { return Hex(v.data(), v.size()); }

}  // namespace flotilla::test
