// The firmware package (.dat): a plain sequence of records, each a 28-byte ImageHeader followed
// at once by `length` image bytes. Little-endian throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "update/ByteOrder.h"

namespace kestro {

inline constexpr std::uint32_t kImageHeaderSize = 28;

struct ImageHeader {
  std::uint16_t version = 0;      // firmware version in hundredths
  std::uint16_t beta = 0;         // 0 = release
  std::uint32_t baseAddress = 0;  // device address of the image
  std::uint32_t length = 0;       // image bytes behind this header
  std::uint16_t modelId = 0;
  std::uint8_t variant = 0;
  std::uint8_t raw[kImageHeaderSize] = {};  // the header as read, uninterpreted bytes included

  static ImageHeader Parse(const std::uint8_t (&bytes)[kImageHeaderSize]);
  // Bytes 0 to 3 as one word: version + 65536 x beta, as versions travel to the controller.
  std::uint32_t VersionWord() const { return version | (std::uint32_t{beta} << 16); }
};

// Random access to the package's bytes, with explicit sizes.
class PackageSource {
 public:
  virtual ~PackageSource() = default;
  // The file's length; only its low 32 bits count.
  virtual std::uint64_t Length() = 0;
  // Reads up to `count` bytes at `position`; false on a read error. `got` tells how many arrived.
  virtual bool ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
                      std::size_t& got) = 0;
};

struct PackageImage {
  ImageHeader header;
  std::uint32_t dataOffset = 0;  // file position of the first image byte
  int record = 0;                // its record's place in the file, from 0
};

// The first record whose model id and variant match. Nothing when no record matches, and also
// when the first matching record cannot be sent whole: an empty image, an image that runs past
// the end of the file, a header cut short, a read error, or a next-record position beyond 2^32-1.
std::optional<PackageImage> FindPackageImage(PackageSource& source, std::uint16_t modelId,
                                             std::uint8_t variant);

}  // namespace kestro
