// The reports hidclass sees: what the report descriptor declares, and the 65-byte form that
// writes and reads take between hidclass and the device link.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <vector>

#include "vhid/VhidReport.h"

namespace {

// What a HID parser takes from the descriptor: the bits of each main item, report ids, pages.
struct Declared {
  unsigned inputBits = 0;
  unsigned outputBits = 0;
  unsigned featureBits = 0;
  bool reportIds = false;
  unsigned usagePage = 0;
  int openCollections = 0;
  bool wellFormed = true;
};

Declared Walk(const std::uint8_t* bytes, std::size_t size) {
  Declared declared;
  unsigned reportSize = 0;
  unsigned reportCount = 0;
  for (std::size_t at = 0; at < size;) {
    const std::uint8_t prefix = bytes[at];
    const std::size_t dataBytes = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + dataBytes > size) {
      declared.wellFormed = false;
      break;
    }
    unsigned value = 0;
    for (std::size_t i = 0; i < dataBytes; ++i) value |= unsigned{bytes[at + 1 + i]} << (8 * i);
    switch (prefix & 0xFC) {
      case 0x04:
        declared.usagePage = value;
        break;
      case 0x74:
        reportSize = value;
        break;
      case 0x94:
        reportCount = value;
        break;
      case 0x84:
        declared.reportIds = true;
        break;
      case 0x80:
        declared.inputBits += reportSize * reportCount;
        break;
      case 0x90:
        declared.outputBits += reportSize * reportCount;
        break;
      case 0xB0:
        declared.featureBits += reportSize * reportCount;
        break;
      case 0xA0:
        ++declared.openCollections;
        break;
      case 0xC0:
        --declared.openCollections;
        break;
      default:
        break;
    }
    at += 1 + dataBytes;
  }
  return declared;
}

TEST(VhidReportDescriptorTest, DeclaresOne64ByteInputAndOutputReportWithoutReportIds) {
  const Declared declared = Walk(kVhidReportDescriptor, kVhidReportDescriptorBytes);
  EXPECT_TRUE(declared.wellFormed);
  EXPECT_EQ(declared.inputBits, 8u * VHID_PAYLOAD_BYTES);
  EXPECT_EQ(declared.outputBits, 8u * VHID_PAYLOAD_BYTES);
  EXPECT_EQ(declared.featureBits, 0u);
  EXPECT_FALSE(declared.reportIds);
  EXPECT_EQ(declared.openCollections, 0);
  // Vendor-defined: no system driver claims the device.
  EXPECT_GE(declared.usagePage, 0xFF00u);
}

TEST(VhidReportDescriptorTest, TheHidDescriptorAnnouncesTheReportDescriptorsLength) {
  std::uint8_t hid[VHID_HID_DESCRIPTOR_BYTES] = {};
  VhidHidDescriptor(hid);
  EXPECT_EQ(hid[0], VHID_HID_DESCRIPTOR_BYTES);
  EXPECT_EQ(hid[1], 0x21);  // HID class descriptor
  EXPECT_EQ(hid[5], 1);     // one descriptor follows
  EXPECT_EQ(hid[6], 0x22);  // and it is a report descriptor
  EXPECT_EQ(hid[7] | hid[8] << 8, static_cast<int>(kVhidReportDescriptorBytes));
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t first) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

struct WriteCase {
  const char* what;
  std::uint8_t reportId;
  std::vector<std::uint8_t> buffer;
  bool accepted;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.what; }

class VhidOutputFromWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(VhidOutputFromWriteTest, AWriteBecomesReportIdZeroAndTheSame64PayloadBytes) {
  const WriteCase& c = GetParam();
  std::array<std::uint8_t, VHID_REPORT_BYTES> out{};
  out.fill(0xEE);
  const int accepted =
      VhidOutputFromWrite(c.reportId, c.buffer.data(), c.buffer.size(), out.data());
  ASSERT_EQ(accepted != 0, c.accepted) << c.what;
  if (!c.accepted) return;
  EXPECT_EQ(out[0], 0) << c.what;
  const std::uint8_t* payload = c.buffer.data() + (c.buffer.size() == VHID_REPORT_BYTES ? 1 : 0);
  EXPECT_EQ(std::memcmp(out.data() + 1, payload, VHID_PAYLOAD_BYTES), 0) << c.what;
}

std::vector<std::uint8_t> WholeReport() {
  std::vector<std::uint8_t> report = Pattern(VHID_REPORT_BYTES, 0x40);
  report[0] = 0;
  return report;
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, VhidOutputFromWriteTest,
    ::testing::Values(WriteCase{"whole report, id in front", 0, WholeReport(), true},
                      WriteCase{"payload alone", 0, Pattern(VHID_PAYLOAD_BYTES, 1), true},
                      WriteCase{"a report id the device does not have", 1, WholeReport(), false},
                      WriteCase{"65 bytes whose first is not the id", 0,
                                Pattern(VHID_REPORT_BYTES, 1), false},
                      WriteCase{"short", 0, Pattern(VHID_PAYLOAD_BYTES - 1, 1), false},
                      WriteCase{"long", 0, Pattern(VHID_REPORT_BYTES + 1, 0), false},
                      WriteCase{"empty", 0, {}, false}));

TEST(VhidReadFromInputTest, FillsThePayloadAloneAndNeverWritesPastTheBuffer) {
  const std::vector<std::uint8_t> payload = Pattern(VHID_PAYLOAD_BYTES, 9);
  std::vector<std::uint8_t> buffer(VHID_REPORT_BYTES + 4, 0xEE);
  EXPECT_EQ(VhidReadFromInput(payload.data(), buffer.data(), VHID_PAYLOAD_BYTES),
            VHID_PAYLOAD_BYTES);
  EXPECT_EQ(std::memcmp(buffer.data(), payload.data(), VHID_PAYLOAD_BYTES), 0);
  EXPECT_EQ(buffer[VHID_PAYLOAD_BYTES], 0xEE);
  EXPECT_EQ(VhidReadFromInput(payload.data(), buffer.data(), VHID_PAYLOAD_BYTES - 1), 0u);
  EXPECT_EQ(VhidReadFromInput(payload.data(), nullptr, VHID_PAYLOAD_BYTES), 0u);
}

}  // namespace
