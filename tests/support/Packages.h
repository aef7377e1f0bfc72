// Package files for a test: records of pattern images, written into a directory of the test's
// own that goes with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/Package.h"

namespace kestro::testing {

inline sim::PackageRecord MakeRecord(std::uint16_t model, std::uint8_t variant, std::size_t length,
                                     std::uint32_t seed, std::uint16_t version = 123,
                                     std::uint16_t beta = 0) {
  sim::PackageRecord r;
  r.modelId = model;
  r.variant = variant;
  r.version = version;
  r.beta = beta;
  r.baseAddress = 0x08004000;
  r.image = sim::PatternImage(length, seed);
  return r;
}

class PackageDirectory {
 public:
  PackageDirectory()
      : m_dir(std::filesystem::temp_directory_path() /
              ("kestro-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::create_directories(m_dir);
  }
  ~PackageDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  PackageDirectory(const PackageDirectory&) = delete;
  PackageDirectory& operator=(const PackageDirectory&) = delete;

  const std::filesystem::path& Path() const { return m_dir; }
  std::wstring WritePackage(const std::string& name,
                            const std::vector<sim::PackageRecord>& records) const {
    return WriteBytes(name, sim::BuildPackage(records));
  }
  std::wstring WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const auto path = m_dir / name;
    EXPECT_TRUE(sim::WriteFileBytes(path.string(), bytes)) << path;
    return path.wstring();
  }

 private:
  std::filesystem::path m_dir;
};

}  // namespace kestro::testing
