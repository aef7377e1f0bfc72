// Cuts the bytes of a device-link connection into lines, on either end, holding a bounded amount:
// a line longer than any the contract defines is reported once and the rest of it skipped,
// instead of being collected without end from a peer that never sends a newline.
#pragma once

#include <cstddef>
#include <string>

namespace kestro::link {

class LineReader {
 public:
  // The longest line of the contract is far shorter ("output", a 64-character id and 130 hex
  // digits); the bound leaves room for whatever a later version adds.
  static constexpr std::size_t kMaxLineLength = 4096;

  explicit LineReader(std::size_t maxLength = kMaxLineLength) : m_maxLength(maxLength) {}

  void Append(const char* bytes, std::size_t size);

  enum class Next {
    kLine,     // a whole line, without its newline
    kTooLong,  // the start of a line longer than the bound; its rest will be skipped
    kMore,     // no whole line yet: append more
  };
  Next Take(std::string& line);

 private:
  std::size_t m_maxLength;
  std::string m_pending;    // bytes after the last newline taken
  bool m_skipping = false;  // inside a line already reported as too long
};

}  // namespace kestro::link
