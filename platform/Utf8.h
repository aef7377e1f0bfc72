// Wide text (UTF-32 where wchar_t is 32 bits, as on Linux; UTF-16 on Windows) as UTF-8 and back,
// for file names and terminals. A Linux file name is bytes and need not be UTF-8: a byte that
// starts no valid sequence rides as U+DC80 + its value (a lone surrogate, which no valid text
// holds) and is written back as that byte, so that every name survives the trip exactly.
#pragma once

#include <cstdint>
#include <string>

namespace kestro {

inline constexpr std::uint32_t kEscapedByteBase = 0xDC00;

inline std::string ToUtf8(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<std::uint32_t>(text[i]);
    // A UTF-16 pair is one character.
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      const auto low = static_cast<std::uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c >= kEscapedByteBase + 0x80 && c <= kEscapedByteBase + 0xFF) {
      out += static_cast<char>(c - kEscapedByteBase);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::wstring FromUtf8(const std::string& bytes) {
  std::wstring out;
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size;) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    // The sequence's length and the smallest code point it may carry (no overlong forms).
    std::size_t length = 0;
    std::uint32_t c = 0, least = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      length = 2, c = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3, c = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4, c = lead & 0x07, least = 0x10000;
    }
    bool valid = length != 0 && i + length <= size;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    valid = valid && c >= least && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (!valid) {
      out += static_cast<wchar_t>(kEscapedByteBase + lead);
      ++i;
      continue;
    }
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
    i += length;
  }
  return out;
}

}  // namespace kestro
