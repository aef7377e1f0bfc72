// The package scan over arbitrary bytes: it must never read outside the file or accept an
// image that does not lie whole inside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "update/Package.h"

namespace {

class Bytes : public kestro::PackageSource {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint64_t Length() override { return m_size; }
  bool ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
              std::size_t& got) override {
    got = 0;
    if (position >= m_size) return true;
    got = count < m_size - position ? count : m_size - position;
    std::memcpy(destination, m_data + position, got);
    return true;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint16_t model = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
  const std::uint8_t variant = data[2];
  Bytes source(data + 3, size - 3);
  const auto found = kestro::FindPackageImage(source, model, variant);
  if (found) {
    const std::uint64_t end = std::uint64_t{found->dataOffset} + found->header.length;
    if (found->header.length == 0 || end > size - 3 || found->header.modelId != model ||
        found->header.variant != variant) {
      std::abort();
    }
  }
  return 0;
}
