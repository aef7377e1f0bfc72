// What a package file holds, record by record, read with a bounds check on every byte: the
// listing of a damaged file shows where it breaks off instead of reading past its end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestro::tools {

// Why the updater would refuse a record if it matched the controller.
enum class RecordProblem {
  kHeaderCutShort,  // the scan stops here without comparing anything
  kImageCutShort,   // fewer than `length` image bytes before the end of the file
  kEmptyImage,      // `length` 0: nothing to send
  kNextPastLimit,   // the next record would start past 2^32 - 1: the scan stops here
};

// A short stable name for scripts: "header-cut-short", "image-cut-short", ...
const char* ProblemCode(RecordProblem problem);

struct ListedRecord {
  std::uint64_t offset = 0;     // file position of the record's header
  std::size_t headerBytes = 0;  // 28, or fewer when the file ends inside the header
  std::uint16_t version = 0;    // the fields below only when the header is whole
  std::uint16_t beta = 0;
  std::uint32_t versionWord = 0;  // as the updater sends it to the controller
  std::uint32_t baseAddress = 0;
  std::uint32_t length = 0;
  std::uint16_t modelId = 0;
  std::uint8_t variant = 0;
  std::array<std::uint8_t, 13> uninterpreted{};  // header bytes 15 to 27
  std::uint64_t imageBytes = 0;  // image bytes present in the file, at most `length`

  bool HeaderWhole() const;
  bool ImageWhole() const;
  std::uint64_t NextOffset() const;  // where the updater looks for the next header
  std::vector<RecordProblem> Problems() const;
};

struct Listing {
  std::uint64_t fileBytes = 0;
  std::vector<ListedRecord> records;
  bool cutShort = false;  // the last record's header or image runs past the end of the file
};

// Stops where the updater's scan would: at a record cut short or one whose next position passes
// 2^32 - 1.
Listing ListPackage(const std::vector<std::uint8_t>& file);

// The image bytes of one of `file`'s listed records, for a record whose ImageWhole() holds.
std::span<const std::uint8_t> ImageOf(const std::vector<std::uint8_t>& file,
                                      const ListedRecord& record);

// The listing as the tool prints it, one line per record, notes on its problems, and a closing
// line.
std::string FormatListing(const Listing& listing);

// The line about one record in FormatListing, without its notes.
std::string FormatRecordLine(std::size_t index, const ListedRecord& record);

// The listing as one JSON document, numbers in decimal.
std::string FormatListingJson(const Listing& listing);

}  // namespace kestro::tools
