// Building firmware packages (.dat) for tests and for the package tool: records of a 28-byte
// header and their image bytes, laid end to end, little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro::sim {

struct PackageRecord {
  std::uint16_t version = 0;
  std::uint16_t beta = 0;
  std::uint32_t baseAddress = 0x08004000;
  std::uint16_t modelId = 0;
  std::uint8_t variant = 0;
  std::vector<std::uint8_t> image;
  // Written instead of image.size() when set: a header that lies about its image.
  std::optional<std::uint32_t> lengthField;
  // Header bytes 15 to 27, which the updater carries along without interpreting.
  std::array<std::uint8_t, 13> rest{};
};

// The records in order, each header followed at once by its image bytes.
std::vector<std::uint8_t> BuildPackage(const std::vector<PackageRecord>& records);

// `length` bytes that depend only on `seed`; different seeds give different images.
std::vector<std::uint8_t> PatternImage(std::size_t length, std::uint32_t seed);

[[nodiscard]] bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
[[nodiscard]] std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path);

}  // namespace kestro::sim
