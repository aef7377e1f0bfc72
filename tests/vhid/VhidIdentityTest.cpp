// How a virtual device is named: the instance id the bridge makes, what the driver reads back
// from the PnP manager's ids, and the strings hidclass asks for.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "vhid/VhidIdentity.h"

namespace {

std::u16string Utf16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

const std::uint16_t* Units(const std::u16string& text) {
  return reinterpret_cast<const std::uint16_t*>(text.data());
}

struct InstanceCase {
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint32_t serial;
  const char* instanceId;  // nullptr: refused
};

void PrintTo(const InstanceCase& c, std::ostream* os) {
  *os << std::hex << c.vendorId << ":" << c.productId << std::dec << " serial " << c.serial;
}

class VhidInstanceIdTest : public ::testing::TestWithParam<InstanceCase> {};

TEST_P(VhidInstanceIdTest, FormatsAndReadsBackTheSameIdentity) {
  const InstanceCase& c = GetParam();
  char id[VHID_INSTANCE_ID_CHARS];
  const std::size_t length =
      VhidFormatInstanceId(c.vendorId, c.productId, c.serial, id, sizeof(id));
  if (c.instanceId == nullptr) {
    EXPECT_EQ(length, 0u);
    return;
  }
  ASSERT_EQ(std::string(id, length), c.instanceId);
  // What the driver is told: the device id (all but the last part) and the instance part.
  const std::string text = id;
  const std::size_t slash = text.rfind('\\');
  const std::u16string deviceId = Utf16(text.substr(0, slash));
  const std::u16string instance = Utf16(text.substr(slash + 1));
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint32_t serial = 0;
  ASSERT_TRUE(VhidParseDeviceId(Units(deviceId), deviceId.size(), &vendorId, &productId));
  ASSERT_TRUE(VhidParseSerial(Units(instance), instance.size(), &serial));
  EXPECT_EQ(vendorId, c.vendorId);
  EXPECT_EQ(productId, c.productId);
  EXPECT_EQ(serial, c.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Identities, VhidInstanceIdTest,
    ::testing::Values(InstanceCase{0x3A7C, 0x5750, 1, "ROOT\\VID_3A7C&PID_5750\\0001"},
                      InstanceCase{0x0000, 0xFFFF, 9999, "ROOT\\VID_0000&PID_FFFF\\9999"},
                      InstanceCase{0xABCD, 0x0102, 10000, "ROOT\\VID_ABCD&PID_0102\\10000"},
                      InstanceCase{0x3A7C, 0x3002, VHID_MAX_SERIAL,
                                   "ROOT\\VID_3A7C&PID_3002\\99999999"},
                      InstanceCase{0x3A7C, 0x5750, 0, nullptr},
                      InstanceCase{0x3A7C, 0x5750, VHID_MAX_SERIAL + 1, nullptr}));

TEST(VhidInstanceIdTest, RefusesABufferThatCannotHoldTheLongestId) {
  char id[VHID_INSTANCE_ID_CHARS - 1];
  EXPECT_EQ(VhidFormatInstanceId(1, 2, 3, id, sizeof(id)), 0u);
}

struct DeviceIdCase {
  const char* deviceId;
  bool parsed;
  std::uint16_t vendorId;
  std::uint16_t productId;
};

void PrintTo(const DeviceIdCase& c, std::ostream* os) { *os << "\"" << c.deviceId << "\""; }

class VhidParseDeviceIdTest : public ::testing::TestWithParam<DeviceIdCase> {};

TEST_P(VhidParseDeviceIdTest, ReadsVendorAndProductFromTheLastPartOnly) {
  const DeviceIdCase& c = GetParam();
  const std::u16string id = Utf16(c.deviceId);
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  ASSERT_EQ(VhidParseDeviceId(Units(id), id.size(), &vendorId, &productId) != 0, c.parsed)
      << c.deviceId;
  if (!c.parsed) return;
  EXPECT_EQ(vendorId, c.vendorId);
  EXPECT_EQ(productId, c.productId);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, VhidParseDeviceIdTest,
    ::testing::Values(DeviceIdCase{"ROOT\\VID_3A7C&PID_5750", true, 0x3A7C, 0x5750},
                      DeviceIdCase{"root\\vid_3a7c&pid_5750", true, 0x3A7C, 0x5750},
                      DeviceIdCase{"USB\\VID_0001&PID_ffff", true, 0x0001, 0xFFFF},
                      DeviceIdCase{"VID_3A7C&PID_5750", false, 0, 0},
                      DeviceIdCase{"ROOT\\VID_3A7C&PID_575", false, 0, 0},
                      DeviceIdCase{"ROOT\\VID_3A7C&PID_57500", false, 0, 0},
                      DeviceIdCase{"ROOT\\VID_3A7G&PID_5750", false, 0, 0},
                      DeviceIdCase{"ROOT\\PID_5750&VID_3A7C", false, 0, 0},
                      DeviceIdCase{"ROOT\\KestroVhid", false, 0, 0},
                      DeviceIdCase{"", false, 0, 0}));

struct SerialCase {
  const char* text;
  bool parsed;
  std::uint32_t serial;
};

void PrintTo(const SerialCase& c, std::ostream* os) { *os << "\"" << c.text << "\""; }

class VhidParseSerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(VhidParseSerialTest, AcceptsOnlyDecimalSerialsInRange) {
  const SerialCase& c = GetParam();
  const std::u16string text = Utf16(c.text);
  std::uint32_t serial = 0;
  ASSERT_EQ(VhidParseSerial(Units(text), text.size(), &serial) != 0, c.parsed) << c.text;
  if (c.parsed) {
    EXPECT_EQ(serial, c.serial);
  }
}

INSTANTIATE_TEST_SUITE_P(Serials, VhidParseSerialTest,
                         ::testing::Values(SerialCase{"0001", true, 1}, SerialCase{"12", true, 12},
                                           SerialCase{"99999999", true, VHID_MAX_SERIAL},
                                           SerialCase{"0000", false, 0},
                                           SerialCase{"100000000", false, 0},
                                           SerialCase{"0&0000&0&0", false, 0},
                                           SerialCase{"", false, 0}));

struct StringCase {
  std::uint32_t stringId;
  const char* text;  // nullptr: not a string the device has
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << "string " << c.stringId; }

class VhidDeviceStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(VhidDeviceStringTest, AnswersWinesAndWindowsStringIdsAlike) {
  const StringCase& c = GetParam();
  std::uint16_t out[64];
  const std::size_t chars = VhidDeviceString(c.stringId, 42, out, 64);
  if (c.text == nullptr) {
    EXPECT_EQ(chars, 0u);
    return;
  }
  const std::u16string expected = Utf16(c.text);
  ASSERT_EQ(chars, expected.size() + 1);  // with its terminating NUL
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out), chars - 1), expected);
  EXPECT_EQ(out[chars - 1], 0);
}

INSTANTIATE_TEST_SUITE_P(Strings, VhidDeviceStringTest,
                         ::testing::Values(StringCase{1, "Kestro"}, StringCase{14, "Kestro"},
                                           StringCase{2, "Kestro virtual controller"},
                                           StringCase{15, "Kestro virtual controller"},
                                           StringCase{3, "0042"}, StringCase{16, "0042"},
                                           StringCase{0, nullptr}, StringCase{4, nullptr}));

TEST(VhidDeviceStringTest, RefusesABufferTooShortForTheStringAndItsNul) {
  std::uint16_t out[7];  // "Kestro" and its NUL
  EXPECT_EQ(VhidDeviceString(1, 1, out, 6), 0u);
  EXPECT_EQ(VhidDeviceString(1, 1, out, 7), 7u);
}

}  // namespace
