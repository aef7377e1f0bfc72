// The device link's line format, shared by both ends (the program's link port and the emulator's
// server): interface ids, fields separated by exactly one space, reports as lower-case hex.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro::link {

inline constexpr std::size_t kMaxIdLength = 64;

// 1 to 64 characters of A-Z a-z 0-9 _ . -
inline bool IsValidId(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Lines carry printable ASCII only: any control byte, a carriage return too, makes one malformed.
inline bool IsPrintableAscii(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// An empty field (two spaces, a space at either end, an empty line) makes the line malformed.
inline std::optional<std::vector<std::string>> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = line.find(' ', start);
    const std::size_t end = space == std::string::npos ? line.size() : space;
    if (end == start) return std::nullopt;
    fields.push_back(line.substr(start, end - start));
    if (space == std::string::npos) return fields;
    start = space + 1;
  }
}

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly 2 * size hex digits into bytes; nothing else is accepted (no sign, no prefix).
inline bool ParseHex(const std::string& text, std::uint8_t* bytes, std::size_t size) {
  if (text.size() != 2 * size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

inline std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace kestro::link
