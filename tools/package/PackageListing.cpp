#include "tools/package/PackageListing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "update/Package.h"

namespace kestro::tools {

bool ListedRecord::HeaderWhole() const { return headerBytes == kImageHeaderSize; }
bool ListedRecord::ImageWhole() const { return HeaderWhole() && imageBytes == length; }

Listing ListPackage(const std::vector<std::uint8_t>& file) {
  Listing listing;
  listing.fileBytes = file.size();
  std::uint64_t position = 0;
  while (position < file.size()) {
    ListedRecord record;
    record.offset = position;
    const std::uint64_t left = file.size() - position;
    record.headerBytes = static_cast<std::size_t>(std::min<std::uint64_t>(left, kImageHeaderSize));
    if (!record.HeaderWhole()) {
      listing.records.push_back(record);
      listing.cutShort = true;
      break;
    }
    // Read as the updater reads it, so the listing shows what the updater would see.
    std::uint8_t bytes[kImageHeaderSize];
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(position), kImageHeaderSize, bytes);
    const ImageHeader header = ImageHeader::Parse(bytes);
    record.version = header.version;
    record.beta = header.beta;
    record.baseAddress = header.baseAddress;
    record.length = header.length;
    record.modelId = header.modelId;
    record.variant = header.variant;
    record.imageBytes = std::min<std::uint64_t>(record.length, left - kImageHeaderSize);
    listing.records.push_back(record);
    if (!record.ImageWhole()) {
      listing.cutShort = true;
      break;
    }
    // 64-bit: a length near 2^32 must not wrap the next position back into the file.
    position += kImageHeaderSize + std::uint64_t{record.length};
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
                    r.headerBytes, std::size_t{kImageHeaderSize});
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
