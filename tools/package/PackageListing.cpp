#include "tools/package/PackageListing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "update/Package.h"

namespace kestro::tools {
namespace {

// The updater keeps positions in 32 bits and stops rather than wrap.
constexpr std::uint64_t kLastPosition = 0xFFFFFFFFu;
// Header bytes 15 to 27 are carried along without being interpreted.
constexpr std::size_t kUninterpretedOffset = 15;

}  // namespace

const char* ProblemCode(RecordProblem problem) {
  switch (problem) {
    case RecordProblem::kHeaderCutShort:
      return "header-cut-short";
    case RecordProblem::kImageCutShort:
      return "image-cut-short";
    case RecordProblem::kEmptyImage:
      return "empty-image";
    case RecordProblem::kNextPastLimit:
      return "next-position-past-4GiB";
  }
  return "unknown";
}

bool ListedRecord::HeaderWhole() const { return headerBytes == kImageHeaderSize; }
bool ListedRecord::ImageWhole() const { return HeaderWhole() && imageBytes == length; }
std::uint64_t ListedRecord::NextOffset() const {
  return offset + kImageHeaderSize + std::uint64_t{length};
}

std::vector<RecordProblem> ListedRecord::Problems() const {
  if (!HeaderWhole()) return {RecordProblem::kHeaderCutShort};
  std::vector<RecordProblem> problems;
  if (!ImageWhole()) problems.push_back(RecordProblem::kImageCutShort);
  if (length == 0) problems.push_back(RecordProblem::kEmptyImage);
  if (NextOffset() > kLastPosition) problems.push_back(RecordProblem::kNextPastLimit);
  return problems;
}

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
    record.versionWord = header.VersionWord();
    record.baseAddress = header.baseAddress;
    record.length = header.length;
    record.modelId = header.modelId;
    record.variant = header.variant;
    std::copy_n(header.raw + kUninterpretedOffset, record.uninterpreted.size(),
                record.uninterpreted.begin());
    record.imageBytes = std::min<std::uint64_t>(record.length, left - kImageHeaderSize);
    listing.records.push_back(record);
    if (!record.ImageWhole()) {
      listing.cutShort = true;
      break;
    }
    // 64-bit: a length near 2^32 must not wrap the next position back into the file.
    position = record.NextOffset();
    // Only a file over 4 GiB gets here whole; the updater reaches nothing behind this record.
    if (position > kLastPosition) break;
  }
  return listing;
}

std::span<const std::uint8_t> ImageOf(const std::vector<std::uint8_t>& file,
                                      const ListedRecord& record) {
  return std::span<const std::uint8_t>(file).subspan(
      static_cast<std::size_t>(record.offset + record.headerBytes), record.length);
}

std::string FormatRecordLine(std::size_t index, const ListedRecord& r) {
  char line[256];
  if (!r.HeaderWhole()) {
    std::snprintf(line, sizeof line, "#%zu offset %" PRIu64 ": header cut short, %zu of %zu bytes",
                  index, r.offset, r.headerBytes, std::size_t{kImageHeaderSize});
  } else {
    std::snprintf(line, sizeof line,
                  "#%zu offset %" PRIu64 ": version %u beta %u base 0x%08" PRIx32 " length %" PRIu32
                  " model 0x%04x variant %u",
                  index, r.offset, r.version, r.beta, r.baseAddress, r.length, r.modelId,
                  r.variant);
  }
  return line;
}

std::string FormatListing(const Listing& listing) {
  std::string text;
  char line[256];
  for (std::size_t i = 0; i < listing.records.size(); ++i) {
    const ListedRecord& r = listing.records[i];
    text += FormatRecordLine(i, r) + "\n";
    for (const RecordProblem problem : r.Problems()) {
      switch (problem) {
        case RecordProblem::kHeaderCutShort:
          continue;  // the record line says it
        case RecordProblem::kImageCutShort:
          std::snprintf(line, sizeof line,
                        "#%zu image cut short, %" PRIu64 " of %" PRIu32 " bytes in the file\n", i,
                        r.imageBytes, r.length);
          break;
        case RecordProblem::kEmptyImage:
          std::snprintf(line, sizeof line, "#%zu length 0: the updater refuses an empty image\n",
                        i);
          break;
        case RecordProblem::kNextPastLimit:
          std::snprintf(line, sizeof line,
                        "#%zu next record at %" PRIu64 ", past 2^32 - 1: the updater stops here\n",
                        i, r.NextOffset());
          break;
      }
      text += line;
    }
  }
  std::snprintf(line, sizeof line, "%zu record(s), %" PRIu64 " bytes, %s\n", listing.records.size(),
                listing.fileBytes, listing.cutShort ? "cut short" : "complete");
  text += line;
  return text;
}

std::string FormatListingJson(const Listing& listing) {
  std::string text = "{\n  \"fileBytes\": " + std::to_string(listing.fileBytes) +
                     ",\n  \"complete\": " + (listing.cutShort ? "false" : "true") +
                     ",\n  \"records\": [";
  for (std::size_t i = 0; i < listing.records.size(); ++i) {
    const ListedRecord& r = listing.records[i];
    text += i == 0 ? "\n    {" : ",\n    {";
    text += "\"index\": " + std::to_string(i) + ", \"offset\": " + std::to_string(r.offset) +
            ", \"headerBytes\": " + std::to_string(r.headerBytes);
    if (r.HeaderWhole()) {
      std::string uninterpreted;
      for (const std::uint8_t byte : r.uninterpreted) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        uninterpreted += digits;
      }
      text += ", \"version\": " + std::to_string(r.version) +
              ", \"beta\": " + std::to_string(r.beta) +
              ", \"versionWord\": " + std::to_string(r.versionWord) +
              ", \"baseAddress\": " + std::to_string(r.baseAddress) +
              ", \"length\": " + std::to_string(r.length) +
              ", \"modelId\": " + std::to_string(r.modelId) +
              ", \"variant\": " + std::to_string(r.variant) + ", \"uninterpreted\": \"" +
              uninterpreted + "\", \"imageBytes\": " + std::to_string(r.imageBytes);
    }
    text += ", \"problems\": [";
    const std::vector<RecordProblem> problems = r.Problems();
    for (std::size_t p = 0; p < problems.size(); ++p) {
      text += (p == 0 ? "\"" : ", \"") + std::string(ProblemCode(problems[p])) + "\"";
    }
    text += "]}";
  }
  text += listing.records.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return text;
}

}  // namespace kestro::tools
