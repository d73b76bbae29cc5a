#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::test {

// "10 0C 00" (blanks and line breaks ignored) to bytes.
inline std::vector<uint8_t> Hex(const std::string& AText) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : AText)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// The same as a byte string, for channel data.
inline std::string HexString(const std::string& AText) {
  const std::vector<uint8_t> bytes = Hex(AText);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace orvane::test
