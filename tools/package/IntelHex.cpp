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

// MinGW's C++ library takes the C99 printf, not the system's: its format names the one in use.
#if defined(__MINGW32__)
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
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

// The next line of text, without its newline. Files pass through editors and Windows tools:
// CR LF and trailing blanks are tolerated.
std::string_view TakeLine(std::string_view& text) {
  const std::size_t newline = text.find('\n');
  std::string_view line = text.substr(0, newline);
  text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  return line;
}

// The bytes of one record's text, checked for form, byte count and checksum. Empty when they
// make a whole record; otherwise what is wrong.
std::string DecodeRecord(std::string_view line, std::vector<std::uint8_t>& record) {
  if (line.front() != kRecordMark) return "a record must start with ':'";
  const std::string_view digits = line.substr(1);
  record.clear();
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = i + 1 < digits.size() ? HexDigit(digits[i + 1]) : 0;
    if (high < 0 || low < 0) {
      const std::size_t bad = high < 0 ? i : i + 1;
      return Format("column %zu: not a hexadecimal digit", bad + 2);
    }
    record.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  if (digits.size() % 2 != 0) return "odd number of hexadecimal digits";
  if (record.size() < kRecordOverhead) {
    return Format("record of %zu bytes, shorter than the %zu every record has", record.size(),
                  kRecordOverhead);
  }
  const std::size_t count = record[0];
  if (record.size() - kRecordOverhead != count) {
    return Format("byte count %zu, but the record holds %zu data bytes", count,
                  record.size() - kRecordOverhead);
  }
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < record.size(); ++i) sum += record[i];
  const std::uint8_t expected = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
  if (record.back() != expected) {
    return Format("checksum 0x%02X, the record's bytes give 0x%02X", record.back(), expected);
  }
  return {};
}

// The record types other than data hold a fixed number of data bytes.
struct FixedRecord {
  std::uint8_t type;
  std::size_t bytes;
  const char* name;  // for a message
};
constexpr FixedRecord kFixedRecords[] = {
    {kEndOfFile, 0, "end-of-file"},
    {kExtendedSegmentAddress, kAddressRecordBytes, "extended segment address"},
    {kExtendedLinearAddress, kAddressRecordBytes, "extended linear address"},
    {kStartSegmentAddress, kStartAddressRecordBytes, "start address"},
    {kStartLinearAddress, kStartAddressRecordBytes, "start address"},
};

// Lays the data records out in memory at the addresses the extended address records before them
// give.
class Layout {
 public:
  // Takes one whole record; empty when it was taken, otherwise why not.
  std::string Take(const std::vector<std::uint8_t>& record) {
    const std::size_t count = record[0];
    const std::uint32_t offset = std::uint32_t{record[1]} << 8 | record[2];
    const std::uint8_t type = record[3];
    const std::uint8_t* data = record.data() + 4;
    if (type == kData) return TakeData(offset, data, count);
    const auto fixed = std::find_if(std::begin(kFixedRecords), std::end(kFixedRecords),
                                    [&](const FixedRecord& f) { return f.type == type; });
    if (fixed == std::end(kFixedRecords)) return Format("unknown record type 0x%02X", type);
    if (count != fixed->bytes) {
      return Format("%s record with %zu data bytes, not %zu", fixed->name, count, fixed->bytes);
    }
    if (type == kExtendedSegmentAddress || type == kExtendedLinearAddress) {
      m_linear = type == kExtendedLinearAddress;
      m_upperBase = (std::uint64_t{data[0]} << 8 | data[1]) << (m_linear ? 16 : 4);
    }
    // Toolchains write the entry point; the package has no field for it and the bootloader
    // knows where the firmware starts, so a start address record is checked for shape and
    // dropped.
    return {};
  }

  const Memory& Data() const { return m_memory; }

 private:
  std::string TakeData(std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
    if (m_linear) {
      const std::uint64_t address = m_upperBase + offset;
      if (address + count > kAddressSpace) return "data runs past address 0xFFFFFFFF";
      return m_memory.Write(address, data, count);
    }
    const std::size_t first = std::min<std::size_t>(count, kSegmentBytes - offset);
    std::string problem = m_memory.Write(m_upperBase + offset, data, first);
    if (problem.empty() && first < count) {
      problem = m_memory.Write(m_upperBase, data + first, count - first);
    }
    return problem;
  }

  Memory m_memory;
  bool m_linear = true;           // which extended address record came last
  std::uint64_t m_upperBase = 0;  // what that record adds to a data record's address
};

}  // namespace

HexResult ReadIntelHex(std::string_view text) {
  Layout layout;
  std::size_t lineNumber = 0;
  std::size_t endLine = 0;  // of the end-of-file record; 0 while none was seen
  std::vector<std::uint8_t> record;
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    ++lineNumber;
    if (line.empty()) continue;
    if (endLine != 0) return Fail(lineNumber, "text after the end-of-file record");
    std::string problem = DecodeRecord(line, record);
    if (problem.empty()) problem = layout.Take(record);
    if (!problem.empty()) return Fail(lineNumber, problem);
    if (record[3] == kEndOfFile) endLine = lineNumber;
  }
  if (endLine == 0) return Fail(std::max<std::size_t>(lineNumber, 1), "no end-of-file record");
  if (layout.Data().Empty()) return Fail(endLine, "no data records");
  HexResult result;
  result.image = layout.Data().Image();
  return result;
}

}  // namespace kestro::tools
