// Intel HEX text to one contiguous firmware image: the package holds a single run of bytes and one
// base address per record, so data records are laid out from the lowest address they name and the
// gaps between them are filled with 0xFF, the value of erased flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::tools {

// Far beyond any controller's flash; a larger span means addresses from the wrong file or a typo
// in an extended address record, and would only fill the package with padding.
inline constexpr std::uint32_t kMaxHexImageBytes = 16u << 20;
// What gaps between data are filled with: erased flash reads 0xFF, so padding writes nothing new.
inline constexpr std::uint8_t kGapFillByte = 0xFF;

struct HexImage {
  std::uint32_t baseAddress = 0;  // address of the first byte: the lowest address with data
  std::vector<std::uint8_t> bytes;
};

struct HexError {
  std::size_t line = 0;  // 1-based line of the text the error is about
  std::string message;
};

struct HexResult {
  std::optional<HexImage> image;  // set exactly when the text was accepted
  HexError error;                 // otherwise what is wrong, and where
};

// Reads the whole text. Understands data, end-of-file, extended segment address and extended
// linear address records; start address records are read and dropped. Refuses anything else,
// bad checksums, data written twice to one address, text after the end-of-file record, a file
// without one or without data, and images spanning more than kMaxHexImageBytes.
HexResult ReadIntelHex(std::string_view text);

}  // namespace kestro::tools
