// Reading a package for the commands that look into one: its bytes, and a source over them for
// the updater's own scan.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "update/Package.h"

namespace kestro::tools {

// The whole package in memory; on failure an error line has been written and nothing is returned.
std::optional<std::vector<std::uint8_t>> ReadPackage(const std::string& path, std::ostream& err);

// The package bytes as the updater's scan reads a file, so that the tool's verdicts come from
// the updater's code and not from a copy of it.
class MemoryPackageSource : public PackageSource {
 public:
  explicit MemoryPackageSource(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
  std::uint64_t Length() override { return m_bytes.size(); }
  bool ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
              std::size_t& got) override {
    got = position < m_bytes.size() ? std::min(count, m_bytes.size() - position) : 0;
    if (got != 0) std::memcpy(destination, m_bytes.data() + position, got);
    return true;
  }

 private:
  const std::vector<std::uint8_t>& m_bytes;
};

}  // namespace kestro::tools
