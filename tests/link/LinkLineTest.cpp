// The device link's line format, as both ends parse it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/link/LinkLine.h"

namespace kestro::link {
namespace {

struct SplitCase {
  const char* line;
  std::optional<std::vector<std::string>> fields;
};

TEST(LinkLineTest, FieldsAreSeparatedByExactlyOneSpace) {
  const std::vector<SplitCase> cases = {
      {"ready", std::vector<std::string>{"ready"}},
      {"attach pad 3a7c 5750", std::vector<std::string>{"attach", "pad", "3a7c", "5750"}},
      {"", std::nullopt},
      {"attach  pad", std::nullopt},
      {" ready", std::nullopt},
      {"ready ", std::nullopt},
  };
  for (const SplitCase& c : cases) EXPECT_EQ(SplitFields(c.line), c.fields) << '"' << c.line << '"';
}

TEST(LinkLineTest, IdsAreOneTo64CharactersOfTheAllowedSet) {
  EXPECT_TRUE(IsValidId("kestro0"));
  EXPECT_TRUE(IsValidId("A-z_0.9"));
  EXPECT_TRUE(IsValidId(std::string(64, 'a')));
  EXPECT_FALSE(IsValidId(""));
  EXPECT_FALSE(IsValidId(std::string(65, 'a')));
  for (const char* bad : {"pad#1", "pad/1", "p d", "päd"}) EXPECT_FALSE(IsValidId(bad)) << bad;
}

TEST(LinkLineTest, HexIsExactlyTwoDigitsPerByteAndRoundTrips) {
  std::uint8_t bytes[3] = {};
  ASSERT_TRUE(ParseHex("00aBff", bytes, 3));
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0xAB);
  EXPECT_EQ(bytes[2], 0xFF);
  EXPECT_EQ(ToHex(bytes, 3), "00abff");
  // Wrong length, a sign, a prefix or a non-digit: refused, whatever strtol would accept.
  for (const char* bad : {"00abf", "00abff00", "+1abff", "0x00ff", "00 bff", "00agff"}) {
    std::uint8_t out[3] = {};
    EXPECT_FALSE(ParseHex(bad, out, 3)) << bad;
  }
}

}  // namespace
}  // namespace kestro::link
