#include "tools/package/PackageListing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace kestro::tools {
namespace {

constexpr std::size_t kHeaderBytes = 28;

// Reads little-endian fields from one span of bytes; every read checks against its size.
class Reader {
 public:
  Reader(const std::vector<std::uint8_t>& bytes, std::uint64_t start)
      : bytes_(bytes), start_(start) {}

  bool Has(std::uint64_t offset, std::uint64_t count) const {
    return start_ <= bytes_.size() && offset <= bytes_.size() - start_ &&
           count <= bytes_.size() - start_ - offset;
  }
  std::uint32_t Le(std::uint64_t offset, int width) const {
    std::uint32_t value = 0;
    if (!Has(offset, static_cast<std::uint64_t>(width))) return 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes_[start_ + offset + i];
    return value;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::uint64_t start_;
};

}  // namespace

bool ListedRecord::HeaderWhole() const { return headerBytes == kHeaderBytes; }
bool ListedRecord::ImageWhole() const { return HeaderWhole() && imageBytes == length; }

Listing ListPackage(const std::vector<std::uint8_t>& file) {
  Listing listing;
  listing.fileBytes = file.size();
  std::uint64_t position = 0;
  while (position < file.size()) {
    ListedRecord record;
    record.offset = position;
    const std::uint64_t left = file.size() - position;
    record.headerBytes = static_cast<std::size_t>(std::min<std::uint64_t>(left, kHeaderBytes));
    if (!record.HeaderWhole()) {
      listing.records.push_back(record);
      listing.cutShort = true;
      break;
    }
    const Reader header(file, position);
    record.version = static_cast<std::uint16_t>(header.Le(0, 2));
    record.beta = static_cast<std::uint16_t>(header.Le(2, 2));
    record.baseAddress = header.Le(4, 4);
    record.length = header.Le(8, 4);
    record.modelId = static_cast<std::uint16_t>(header.Le(12, 2));
    record.variant = static_cast<std::uint8_t>(header.Le(14, 1));
    record.imageBytes = std::min<std::uint64_t>(record.length, left - kHeaderBytes);
    listing.records.push_back(record);
    if (!record.ImageWhole()) {
      listing.cutShort = true;
      break;
    }
    // 64-bit: a length near 2^32 must not wrap the next position back into the file.
    position += kHeaderBytes + std::uint64_t{record.length};
  }
  return listing;
}

std::string FormatListing(const Listing& listing) {
  std::string text;
  char line[256];
  for (std::size_t i = 0; i < listing.records.size(); ++i) {
    const ListedRecord& r = listing.records[i];
    if (!r.HeaderWhole()) {
      std::snprintf(line, sizeof line,
                    "#%zu offset %" PRIu64 ": header cut short, %zu of %zu bytes\n", i, r.offset,
                    r.headerBytes, kHeaderBytes);
      text += line;
      continue;
    }
    std::snprintf(line, sizeof line,
                  "#%zu offset %" PRIu64 ": version %u beta %u base 0x%08" PRIx32 " length %" PRIu32
                  " model 0x%04x variant %u\n",
                  i, r.offset, r.version, r.beta, r.baseAddress, r.length, r.modelId, r.variant);
    text += line;
    if (!r.ImageWhole()) {
      std::snprintf(line, sizeof line,
                    "#%zu image cut short, %" PRIu64 " of %" PRIu32 " bytes in the file\n", i,
                    r.imageBytes, r.length);
      text += line;
    }
  }
  std::snprintf(line, sizeof line, "%zu record(s), %" PRIu64 " bytes, %s\n", listing.records.size(),
                listing.fileBytes, listing.cutShort ? "cut short" : "complete");
  text += line;
  return text;
}

}  // namespace kestro::tools
