// Intel HEX text for tests: whole records with their checksums, so that a test writes the one
// fault it is about and nothing else.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestro::tools::test {

inline constexpr std::uint8_t kDataRecord = 0x00;
inline constexpr std::uint8_t kLinearRecord = 0x04;
inline const std::string kEndLine = ":00000001FF\n";

inline std::string HexLine(std::uint8_t type, std::uint16_t address,
                           const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()),
                                     static_cast<std::uint8_t>(address >> 8),
                                     static_cast<std::uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) sum += byte;
  bytes.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  std::string line = ":";
  for (const std::uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  return line + "\n";
}

// An extended address record (linear 0x04, segment 0x02) with its 16-bit value.
inline std::string AddressLine(std::uint8_t type, std::uint16_t value) {
  return HexLine(type, 0,
                 {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

// The image as a toolchain writes it: a linear address record where the upper half of the
// address changes, data records that never cross 64 KiB, an end record.
inline std::string EncodeIntelHex(std::uint32_t base, const std::vector<std::uint8_t>& image) {
  constexpr std::size_t kBytesPerRecord = 16;
  std::string text;
  std::uint64_t upper = ~std::uint64_t{0};
  for (std::size_t at = 0; at < image.size();) {
    const std::uint64_t address = std::uint64_t{base} + at;
    if (address >> 16 != upper)
      text += AddressLine(kLinearRecord, static_cast<std::uint16_t>(upper = address >> 16));
    const std::size_t count = std::min({kBytesPerRecord, image.size() - at,
                                        static_cast<std::size_t>(0x10000 - (address & 0xFFFF))});
    const auto from = image.begin() + static_cast<std::ptrdiff_t>(at);
    text += HexLine(kDataRecord, static_cast<std::uint16_t>(address),
                    {from, from + static_cast<std::ptrdiff_t>(count)});
    at += count;
  }
  return text + kEndLine;
}

}  // namespace kestro::tools::test
