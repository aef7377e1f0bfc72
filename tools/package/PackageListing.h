// What a package file holds, record by record, read with a bounds check on every byte: the
// listing of a damaged file shows where it breaks off instead of reading past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestro::tools {

struct ListedRecord {
  std::uint64_t offset = 0;     // file position of the record's header
  std::size_t headerBytes = 0;  // 28, or fewer when the file ends inside the header
  std::uint16_t version = 0;    // the fields below only when the header is whole
  std::uint16_t beta = 0;
  std::uint32_t baseAddress = 0;
  std::uint32_t length = 0;
  std::uint16_t modelId = 0;
  std::uint8_t variant = 0;
  std::uint64_t imageBytes = 0;  // image bytes present in the file, at most `length`

  bool HeaderWhole() const;
  bool ImageWhole() const;
};

struct Listing {
  std::uint64_t fileBytes = 0;
  std::vector<ListedRecord> records;
  bool cutShort = false;  // the last record's header or image runs past the end of the file
};

Listing ListPackage(const std::vector<std::uint8_t>& file);

// The listing as the tool prints it, one line per record and a closing line.
std::string FormatListing(const Listing& listing);

}  // namespace kestro::tools
