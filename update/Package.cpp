#include "update/Package.h"

#include <cstring>

namespace kestro {

std::uint16_t ReadLe16(const std::uint8_t* b) {
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t ReadLe32(const std::uint8_t* b) {
  return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
         (std::uint32_t{b[3]} << 24);
}

void WriteLe16(std::uint8_t* b, std::uint16_t v) {
  b[0] = static_cast<std::uint8_t>(v);
  b[1] = static_cast<std::uint8_t>(v >> 8);
}

void WriteLe32(std::uint8_t* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

ImageHeader ImageHeader::Parse(const std::uint8_t (&bytes)[kImageHeaderSize]) {
  ImageHeader h;
  h.version = ReadLe16(bytes + 0);
  h.beta = ReadLe16(bytes + 2);
  h.baseAddress = ReadLe32(bytes + 4);
  h.length = ReadLe32(bytes + 8);
  h.modelId = ReadLe16(bytes + 12);
  h.variant = bytes[14];
  std::memcpy(h.raw, bytes, kImageHeaderSize);
  return h;
}

std::optional<PackageImage> FindPackageImage(PackageSource& source, std::uint16_t modelId,
                                             std::uint8_t variant) {
  const std::uint64_t fileLength = source.Length() & 0xFFFFFFFFu;
  std::uint64_t position = 0;
  while (position < fileLength) {
    std::uint8_t bytes[kImageHeaderSize];
    std::size_t got = 0;
    if (!source.ReadAt(static_cast<std::uint32_t>(position), bytes, sizeof bytes, got) ||
        got != sizeof bytes) {
      return std::nullopt;  // a read error or a header cut short: nothing unread is compared
    }
    const ImageHeader header = ImageHeader::Parse(bytes);
    const std::uint64_t dataOffset = position + kImageHeaderSize;
    const std::uint64_t next = dataOffset + header.length;
    if (header.modelId == modelId && header.variant == variant) {
      if (header.length == 0 || next > fileLength) return std::nullopt;
      return PackageImage{header, static_cast<std::uint32_t>(dataOffset)};
    }
    if (next > 0xFFFFFFFFu) return std::nullopt;  // would wrap to an earlier record
    position = next;
  }
  return std::nullopt;
}

}  // namespace kestro
