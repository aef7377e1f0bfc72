#include <gtest/gtest.h>

#include "tests/tools/HexText.h"
#include "tests/tools/ToolDir.h"
#include "tools/package/IntelHex.h"

namespace kestro::tools::test {
namespace {

constexpr std::uint8_t kSegmentRecord = 0x02;

std::string Data(std::uint16_t address, const Bytes& bytes) {
  return HexLine(kDataRecord, address, bytes);
}

Bytes Join(const Bytes& a, std::size_t gap, const Bytes& b) {
  Bytes joined = a;
  joined.resize(a.size() + gap, 0xFF);
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

struct AcceptedCase {
  const char* name;
  std::string text;
  std::uint32_t base;
  Bytes image;
};
void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << c.name; }

class IntelHexAccepts : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(IntelHexAccepts, LaysTheDataOutFromTheLowestAddress) {
  const HexResult result = ReadIntelHex(GetParam().text);
  ASSERT_TRUE(result.image) << "line " << result.error.line << ": " << result.error.message;
  EXPECT_EQ(result.image->baseAddress, GetParam().base);
  EXPECT_EQ(result.image->bytes, GetParam().image);
}

const Bytes kPattern = sim::PatternImage(65536, 4);

INSTANTIATE_TEST_SUITE_P(
    Files, IntelHexAccepts,
    ::testing::Values(
        AcceptedCase{"gap filled, lowest first", Data(0x14, {5}) + Data(0x10, {1, 2}) + kEndLine,
                     0x10, Bytes{1, 2, 0xFF, 0xFF, 5}},
        // Segment addressing wraps inside its 64 KiB; linear addressing runs on.
        AcceptedCase{"segment offset wraps",
                     AddressLine(kSegmentRecord, 0x1000) + Data(0xFFFF, {1, 2}) + kEndLine, 0x10000,
                     Join({2}, 0xFFFE, {1})},
        AcceptedCase{"linear runs over 64 KiB", Data(0xFFFF, {1, 2}) + kEndLine, 0xFFFF,
                     Bytes{1, 2}},
        AcceptedCase{"CR LF, lower case, blanks", ":0300300002337a1e\r\n\r\n:00000001ff \t\r\n",
                     0x30, Bytes{0x02, 0x33, 0x7A}},
        AcceptedCase{"start addresses dropped",
                     Data(0, {1}) + HexLine(0x05, 0, {8, 0, 0x40, 0}) +
                         HexLine(0x03, 0, {0, 0, 0, 0}) + kEndLine,
                     0, Bytes{1}},
        AcceptedCase{"toolchain layout", EncodeIntelHex(0x0800FFF0, kPattern), 0x0800FFF0,
                     kPattern},
        AcceptedCase{"largest span",
                     Data(0, {1}) + AddressLine(kLinearRecord, 0xFF) + Data(0xFFFF, {2}) + kEndLine,
                     0, Join({1}, kMaxHexImageBytes - 2, {2})}),
    [](const auto& info) { return TestName(info.param.name); });

struct RefusedCase {
  const char* name;
  std::string text;
  std::size_t line;
  std::string message;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class IntelHexRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(IntelHexRefuses, NamesTheLineAndTheFault) {
  const HexResult result = ReadIntelHex(GetParam().text);
  EXPECT_FALSE(result.image);
  EXPECT_EQ(result.error.line, GetParam().line);
  EXPECT_EQ(result.error.message, GetParam().message);
}

const std::string kGood = Data(0, {1, 2, 3, 4});

INSTANTIATE_TEST_SUITE_P(
    Files, IntelHexRefuses,
    ::testing::Values(
        RefusedCase{"bad checksum", kGood + ":0100100000EE\n" + kEndLine, 2,
                    "checksum 0xEE, the record's bytes give 0xEF"},
        RefusedCase{"unknown type", kGood + HexLine(0x06, 0, {}) + kEndLine, 2,
                    "unknown record type 0x06"},
        RefusedCase{"overlap", kGood + Data(8, {1}) + Data(3, {9, 9}) + kEndLine, 3,
                    "address 0x00000003 already holds data"},
        RefusedCase{"overlap into later data", Data(4, {1}) + Data(2, {9, 9, 9}) + kEndLine, 2,
                    "address 0x00000004 already holds data"},
        RefusedCase{"one address through segment and linear",
                    AddressLine(kLinearRecord, 1) + Data(0, {1}) +
                        AddressLine(kSegmentRecord, 0x1000) + Data(0, {2}) + kEndLine,
                    4, "address 0x00010000 already holds data"},
        RefusedCase{"span over 16 MiB",
                    kGood + AddressLine(kLinearRecord, 0x100) + Data(0, {1}) + kEndLine, 3,
                    "data from 0x00000000 to 0x01000000 spans more than 16 MiB"},
        RefusedCase{"past 4 GiB",
                    AddressLine(kLinearRecord, 0xFFFF) + Data(0xFFFF, {1, 2}) + kEndLine, 2,
                    "data runs past address 0xFFFFFFFF"},
        RefusedCase{"not hexadecimal", ":01000000G0FF\n", 1, "column 10: not a hexadecimal digit"},
        RefusedCase{"byte count", ":0200000001FD\n", 1,
                    "byte count 2, but the record holds 1 data bytes"},
        RefusedCase{"text after the end", kGood + kEndLine + kGood, 3,
                    "text after the end-of-file record"},
        RefusedCase{"no end record", kGood + "\n" + Data(9, {1}), 3, "no end-of-file record"},
        RefusedCase{"no data", AddressLine(kLinearRecord, 8) + kEndLine, 2, "no data records"}),
    [](const auto& info) { return TestName(info.param.name); });

}  // namespace
}  // namespace kestro::tools::test
