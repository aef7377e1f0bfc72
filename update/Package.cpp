#include "update/Package.h"

#include <cstring>

namespace kestro {

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
  for (int record = 0; position < fileLength; ++record) {
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
      return PackageImage{header, static_cast<std::uint32_t>(dataOffset), record};
    }
    if (next > 0xFFFFFFFFu) return std::nullopt;  // would wrap to an earlier record
    position = next;
  }
  return std::nullopt;
}

}  // namespace kestro
