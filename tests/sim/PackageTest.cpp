#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/Package.h"
#include "tools/package/PackageListing.h"

namespace kestro::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(BuildPackage, LaysOutTheHeaderLittleEndianBeforeTheImage) {
  PackageRecord record;
  record.version = 0x0105;
  record.beta = 2;
  record.modelId = 0x0102;
  record.variant = 3;
  record.image = {0xAA, 0xBB};
  record.rest[0] = 0x11;
  record.rest[12] = 0x22;
  const Bytes expected = {0x05, 0x01, 0x02, 0x00, 0x00, 0x40, 0x00, 0x08, 0x02, 0x00,
                          0x00, 0x00, 0x02, 0x01, 0x03, 0x11, 0,    0,    0,    0,
                          0,    0,    0,    0,    0,    0,    0,    0x22, 0xAA, 0xBB};
  EXPECT_EQ(BuildPackage({record}), expected);
}

TEST(BuildPackage, WritesTheLengthFieldInsteadOfTheImageSize) {
  const Bytes package = BuildPackage({{.image = Bytes(10), .lengthField = 0xFFFFFFF0}});
  ASSERT_EQ(package.size(), 38u);
  EXPECT_EQ(Bytes(package.begin() + 8, package.begin() + 12), (Bytes{0xF0, 0xFF, 0xFF, 0xFF}));
}

TEST(PatternImage, DependsOnlyOnTheSeed) {
  EXPECT_EQ(PatternImage(100, 1), PatternImage(100, 1));
  EXPECT_NE(PatternImage(100, 1), PatternImage(100, 2));
  const Bytes image = PatternImage(200, 3);
  // A block shifted by one block size must not look like the right one.
  EXPECT_NE(Bytes(image.begin(), image.begin() + 46),
            Bytes(image.begin() + 46, image.begin() + 92));
  EXPECT_NE(Bytes(image.begin(), image.begin() + 32),
            Bytes(image.begin() + 32, image.begin() + 64));
}

TEST(PackageFiles, RoundTripAndMissingFile) {
  const std::string path = ::testing::TempDir() + "sim_package_roundtrip.dat";
  PackageRecord record;
  record.image = PatternImage(77, 9);
  const Bytes bytes = BuildPackage({record});
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  EXPECT_EQ(ReadFileBytes(path), bytes);
  std::remove(path.c_str());
  EXPECT_FALSE(ReadFileBytes(path).has_value());
}

struct ListingCase {
  const char* name;
  Bytes file;
  std::size_t records;
  bool cutShort;
  std::string lastLine;  // the line about the last record
};

class PackageListing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(PackageListing, StopsAtTheEndOfTheFile) {
  const tools::Listing listing = tools::ListPackage(GetParam().file);
  EXPECT_EQ(listing.records.size(), GetParam().records);
  EXPECT_EQ(listing.cutShort, GetParam().cutShort);
  const std::string text = tools::FormatListing(listing);
  EXPECT_NE(text.find(GetParam().lastLine), std::string::npos) << text;
}

Bytes Cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

PackageRecord Record(std::uint16_t version, std::uint16_t beta, std::uint32_t base,
                     std::uint16_t model, std::uint8_t variant, Bytes image) {
  PackageRecord record;
  record.version = version;
  record.beta = beta;
  record.baseAddress = base;
  record.modelId = model;
  record.variant = variant;
  record.image = std::move(image);
  return record;
}

const Bytes kTwoRecords =
    BuildPackage({Record(123, 0, 0x08004000, 0, 0, PatternImage(100, 1)),
                  Record(261, 2, 0x08008000, 0x0102, 3, PatternImage(46, 2))});

INSTANTIATE_TEST_SUITE_P(
    Files, PackageListing,
    ::testing::Values(
        ListingCase{"Empty", {}, 0, false, "0 record(s), 0 bytes, complete"},
        ListingCase{"TwoRecords", kTwoRecords, 2, false,
                    "#1 offset 128: version 261 beta 2 base 0x08008000 length 46 model 0x0102 "
                    "variant 3"},
        ListingCase{"HeaderCutShort", Cut(kTwoRecords, 138), 2, true,
                    "#1 offset 128: header cut short, 10 of 28 bytes"},
        ListingCase{"ImageCutShort", Cut(kTwoRecords, 60), 1, true,
                    "#0 image cut short, 32 of 100 bytes in the file"},
        ListingCase{"LengthNearTheTopOfTheRange",
                    BuildPackage({{.image = Bytes(4), .lengthField = 0xFFFFFFFF}}), 1, true,
                    "#0 image cut short, 4 of 4294967295 bytes in the file"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::sim
