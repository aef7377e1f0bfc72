#include "tools/package/IntelHex.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <map>

namespace kestro::tools {
namespace {

// Record types.
constexpr std::uint8_t kData = 0x00;
constexpr std::uint8_t kEndOfFile = 0x01;
constexpr std::uint8_t kExtendedSegmentAddress = 0x02;
constexpr std::uint8_t kStartSegmentAddress = 0x03;
constexpr std::uint8_t kExtendedLinearAddress = 0x04;
constexpr std::uint8_t kStartLinearAddress = 0x05;

constexpr char kRecordMark = ':';
// Byte count, two address bytes, type and checksum: what every record holds besides its data.
constexpr std::size_t kRecordOverhead = 5;
constexpr std::size_t kAddressRecordBytes = 2;
constexpr std::size_t kStartAddressRecordBytes = 4;
// Segment addressing wraps inside the 64 KiB segment, as the 8086 it was made for did.
constexpr std::uint32_t kSegmentBytes = 0x10000;
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
Format(const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

HexResult Fail(std::size_t line, std::string message) {
  HexResult result;
  result.error = {line, std::move(message)};
  return result;
}

// The data seen so far, as runs of consecutive addresses. Records that continue the previous one
// extend its run, so a typical file keeps a handful of runs however long it is.
class Memory {
 public:
  // Empty when the bytes were taken; otherwise why not.
  std::string Write(std::uint64_t address, const std::uint8_t* data, std::size_t count) {
    if (count == 0) return {};
    const std::uint64_t end = address + count;
    auto next = m_runs.lower_bound(address);
    if (next != m_runs.end() && next->first < end) {
      return Format("address 0x%08llX already holds data",
                    static_cast<unsigned long long>(next->first));
    }
    if (next != m_runs.begin()) {
      auto previous = std::prev(next);
      if (previous->second.end > address) {
        return Format("address 0x%08llX already holds data",
                      static_cast<unsigned long long>(address));
      }
      const bool continues =
          previous->second.end == address &&
          previous->second.poolOffset + (previous->second.end - previous->first) == m_pool.size();
      if (continues) {
        previous->second.end = end;
        m_pool.insert(m_pool.end(), data, data + count);
        return Grow(address, end);
      }
    }
    m_runs.emplace(address, Run{end, m_pool.size()});
    m_pool.insert(m_pool.end(), data, data + count);
    return Grow(address, end);
  }

  bool Empty() const { return m_runs.empty(); }

  HexImage Image() const {
    HexImage image;
    image.baseAddress = static_cast<std::uint32_t>(m_low);
    image.bytes.assign(static_cast<std::size_t>(m_high - m_low), kGapFillByte);
    for (const auto& [start, run] : m_runs) {
      const auto from = m_pool.begin() + static_cast<std::ptrdiff_t>(run.poolOffset);
      std::copy(from, from + static_cast<std::ptrdiff_t>(run.end - start),
                image.bytes.begin() + static_cast<std::ptrdiff_t>(start - m_low));
    }
    return image;
  }

 private:
  struct Run {
    std::uint64_t end = 0;
    std::size_t poolOffset = 0;  // where the run's bytes start in m_pool
  };

  std::string Grow(std::uint64_t start, std::uint64_t end) {
    m_low = std::min(m_low, start);
    m_high = std::max(m_high, end);
    if (m_high - m_low > kMaxHexImageBytes) {
      return Format("data from 0x%08llX to 0x%08llX spans more than %u MiB",
                    static_cast<unsigned long long>(m_low),
                    static_cast<unsigned long long>(m_high - 1), kMaxHexImageBytes >> 20);
    }
    return {};
  }

  std::map<std::uint64_t, Run> m_runs;  // by start address
  std::vector<std::uint8_t> m_pool;
  std::uint64_t m_low = kAddressSpace;  // above every address until data arrive
  std::uint64_t m_high = 0;
};

}  // namespace

HexResult ReadIntelHex(std::string_view text) {
  Memory memory;
  bool linear = true;           // which extended address record came last
  std::uint64_t upperBase = 0;  // what that record adds to a data record's address
  std::size_t lineNumber = 0;
  std::size_t endLine = 0;  // of the end-of-file record; 0 while none was seen
  std::vector<std::uint8_t> record;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;
    // Files pass through editors and Windows tools: tolerate CR LF and trailing blanks.
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    if (endLine != 0) return Fail(lineNumber, "text after the end-of-file record");
    if (line.front() != kRecordMark) return Fail(lineNumber, "a record must start with ':'");
    const std::string_view digits = line.substr(1);
    record.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const int high = HexDigit(digits[i]);
      const int low = i + 1 < digits.size() ? HexDigit(digits[i + 1]) : 0;
      if (high < 0 || low < 0) {
        const std::size_t bad = high < 0 ? i : i + 1;
        return Fail(lineNumber, Format("column %zu: not a hexadecimal digit", bad + 2));
      }
      record.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    if (digits.size() % 2 != 0) return Fail(lineNumber, "odd number of hexadecimal digits");
    if (record.size() < kRecordOverhead) {
      return Fail(lineNumber, Format("record of %zu bytes, shorter than the %zu every record has",
                                     record.size(), kRecordOverhead));
    }
    const std::size_t count = record[0];
    if (record.size() - kRecordOverhead != count) {
      return Fail(lineNumber, Format("byte count %zu, but the record holds %zu data bytes", count,
                                     record.size() - kRecordOverhead));
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < record.size(); ++i) sum += record[i];
    const std::uint8_t expected = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    if (record.back() != expected) {
      return Fail(lineNumber, Format("checksum 0x%02X, the record's bytes give 0x%02X",
                                     record.back(), expected));
    }
    const std::uint32_t offset = std::uint32_t{record[1]} << 8 | record[2];
    const std::uint8_t type = record[3];
    const std::uint8_t* data = record.data() + 4;
    auto needs = [&](std::size_t bytes, const char* what) -> std::optional<HexResult> {
      if (count == bytes) return std::nullopt;
      return Fail(lineNumber, Format("%s record with %zu data bytes, not %zu", what, count, bytes));
    };
    switch (type) {
      case kData: {
        std::string problem;
        if (linear) {
          const std::uint64_t address = upperBase + offset;
          if (address + count > kAddressSpace) {
            return Fail(lineNumber, "data runs past address 0xFFFFFFFF");
          }
          problem = memory.Write(address, data, count);
        } else {
          const std::size_t first = std::min<std::size_t>(count, kSegmentBytes - offset);
          problem = memory.Write(upperBase + offset, data, first);
          if (problem.empty() && first < count) {
            problem = memory.Write(upperBase, data + first, count - first);
          }
        }
        if (!problem.empty()) return Fail(lineNumber, problem);
        break;
      }
      case kEndOfFile:
        if (auto bad = needs(0, "end-of-file")) return *bad;
        endLine = lineNumber;
        break;
      case kExtendedSegmentAddress:
        if (auto bad = needs(kAddressRecordBytes, "extended segment address")) return *bad;
        linear = false;
        upperBase = (std::uint64_t{data[0]} << 8 | data[1]) << 4;
        break;
      case kExtendedLinearAddress:
        if (auto bad = needs(kAddressRecordBytes, "extended linear address")) return *bad;
        linear = true;
        upperBase = (std::uint64_t{data[0]} << 8 | data[1]) << 16;
        break;
      case kStartSegmentAddress:
      case kStartLinearAddress:
        // Toolchains write the entry point; the package has no field for it and the bootloader
        // knows where the firmware starts, so it is checked for shape and dropped.
        if (auto bad = needs(kStartAddressRecordBytes, "start address")) return *bad;
        break;
      default:
        return Fail(lineNumber, Format("unknown record type 0x%02X", type));
    }
  }
  if (endLine == 0) return Fail(std::max<std::size_t>(lineNumber, 1), "no end-of-file record");
  if (memory.Empty()) return Fail(endLine, "no data records");
  HexResult result;
  result.image = memory.Image();
  return result;
}

}  // namespace kestro::tools
