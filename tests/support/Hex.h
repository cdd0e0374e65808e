#pragma once
// Hex texts for test vectors.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::test {

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char c : hex) {
    const int value = nibble(c);
    if (value < 0) continue;  // spaces group the digits
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  return bytes;
}

inline std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[data[i] >> 4]);
    hex.push_back(kDigits[data[i] & 15]);
  }
  return hex;
}

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

}  // namespace qel::test
