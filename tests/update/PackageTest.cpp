#include <gtest/gtest.h>

#include <cstring>

#include "sim/Package.h"
#include "update/Package.h"

namespace kestro {
namespace {

// Package bytes in memory, with an optional read error at a position.
class MemorySource : public PackageSource {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  std::uint64_t Length() override { return lengthOverride ? *lengthOverride : m_bytes.size(); }
  bool ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
              std::size_t& got) override {
    got = 0;
    reads.push_back(position);
    if (failAt && position == *failAt) return false;
    if (position >= m_bytes.size()) return true;
    got = std::min(count, m_bytes.size() - position);
    std::memcpy(destination, m_bytes.data() + position, got);
    return true;
  }
  std::optional<std::uint32_t> failAt;
  std::optional<std::uint64_t> lengthOverride;
  std::vector<std::uint32_t> reads;

 private:
  std::vector<std::uint8_t> m_bytes;
};

sim::PackageRecord Record(std::uint16_t model, std::uint8_t variant, std::size_t length,
                          std::uint16_t version = 123) {
  sim::PackageRecord r;
  r.modelId = model;
  r.variant = variant;
  r.version = version;
  r.image = sim::PatternImage(length, model * 7 + variant);
  return r;
}

struct ScanCase {
  const char* name;
  std::vector<sim::PackageRecord> records;
  std::uint16_t model;
  std::uint8_t variant;
  std::optional<std::uint32_t> dataOffset;  // nothing: no usable image
  std::size_t truncateTo = SIZE_MAX;
};

class PackageScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(PackageScanTest, FindsTheFirstUsableMatch) {
  const ScanCase& c = GetParam();
  auto bytes = sim::BuildPackage(c.records);
  if (c.truncateTo < bytes.size()) bytes.resize(c.truncateTo);
  MemorySource source(bytes);
  const auto found = FindPackageImage(source, c.model, c.variant);
  ASSERT_EQ(found.has_value(), c.dataOffset.has_value());
  if (found) {
    EXPECT_EQ(found->dataOffset, *c.dataOffset);
    EXPECT_EQ(0, std::memcmp(found->header.raw, bytes.data() + *c.dataOffset - 28, 28));
  }
}

sim::PackageRecord WithLength(sim::PackageRecord r, std::uint32_t length) {
  r.lengthField = length;
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Packages, PackageScanTest,
    ::testing::Values(
        ScanCase{"single", {Record(0, 0, 100)}, 0, 0, 28},
        ScanCase{"second", {Record(1, 0, 50), Record(2, 3, 10)}, 2, 3, 28 + 50 + 28},
        ScanCase{"first of two matches", {Record(2, 3, 10), Record(2, 3, 20)}, 2, 3, 28},
        ScanCase{"variant differs", {Record(2, 4, 10)}, 2, 3, std::nullopt},
        ScanCase{"model differs", {Record(3, 3, 10)}, 2, 3, std::nullopt},
        ScanCase{"empty file", {}, 0, 0, std::nullopt},
        ScanCase{"header cut short", {Record(0, 0, 10)}, 0, 0, std::nullopt, 27},
        ScanCase{"second header cut short",
                 {Record(1, 0, 10), Record(0, 0, 10)},
                 0,
                 0,
                 std::nullopt,
                 38 + 20},
        ScanCase{"image runs past the end", {Record(0, 0, 100)}, 0, 0, std::nullopt, 127},
        ScanCase{"image ends the file exactly", {Record(0, 0, 100)}, 0, 0, 28, 128},
        ScanCase{"empty image", {Record(0, 0, 0)}, 0, 0, std::nullopt},
        ScanCase{"length would wrap",
                 {WithLength(Record(1, 0, 4), 0xFFFFFFF0u), Record(0, 0, 4)},
                 0,
                 0,
                 std::nullopt},
        ScanCase{"matching length past 4 GiB",
                 {WithLength(Record(0, 0, 4), 0xFFFFFFFFu)},
                 0,
                 0,
                 std::nullopt}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(PackageScanTest, AReadErrorEndsTheScanWithoutAMatch) {
  MemorySource source(sim::BuildPackage({Record(1, 0, 10), Record(0, 0, 10)}));
  source.failAt = 38;
  EXPECT_FALSE(FindPackageImage(source, 0, 0).has_value());
}

TEST(PackageScanTest, ReadsOnlyHeadersNotTheImagesItPasses) {
  MemorySource source(sim::BuildPackage({Record(1, 0, 1000), Record(0, 0, 10)}));
  ASSERT_TRUE(FindPackageImage(source, 0, 0).has_value());
  EXPECT_EQ(source.reads, (std::vector<std::uint32_t>{0, 1028}));
}

TEST(PackageScanTest, OnlyTheLow32BitsOfTheFileLengthCount) {
  MemorySource source(sim::BuildPackage({Record(0, 0, 10)}));
  source.lengthOverride = (1ull << 32) + 10;  // low half 10: the first header is beyond it
  EXPECT_FALSE(FindPackageImage(source, 0, 0).has_value());
}

TEST(ImageHeaderTest, VersionWordJoinsVersionAndBeta) {
  std::uint8_t bytes[28] = {0x05, 0x01, 0x02, 0x00};
  EXPECT_EQ(ImageHeader::Parse(bytes).VersionWord(), 2u * 65536 + 261);
}

}  // namespace
}  // namespace kestro
