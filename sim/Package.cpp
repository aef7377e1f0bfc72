#include "sim/Package.h"

#include <cstdio>
#include <fstream>
#include <memory>

#include "sim/Wire.h"

namespace kestro::sim {

std::vector<std::uint8_t> BuildPackage(const std::vector<PackageRecord>& records) {
  std::vector<std::uint8_t> out;
  for (const PackageRecord& record : records) {
    AppendLe16(out, record.version);
    AppendLe16(out, record.beta);
    AppendLe32(out, record.baseAddress);
    AppendLe32(out, record.lengthField.value_or(static_cast<std::uint32_t>(record.image.size())));
    AppendLe16(out, record.modelId);
    out.push_back(record.variant);
    out.insert(out.end(), record.rest.begin(), record.rest.end());
    out.insert(out.end(), record.image.begin(), record.image.end());
  }
  return out;
}

std::vector<std::uint8_t> PatternImage(std::size_t length, std::uint32_t seed) {
  // xorshift32 from a mixed seed: cheap, fixed across compilers (unlike std:: distributions), and
  // no short period that would make a block shifted by 32 or 46 bytes look like the right one.
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) state = 1;
  std::vector<std::uint8_t> image(length);
  for (std::uint8_t& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return image;
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::string& path) {
  // stdio rather than streams: a path that names a directory must come back as a failure, and
  // libstdc++'s stream buffer throws there.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[64 * 1024];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get())) return std::nullopt;
  return bytes;
}

}  // namespace kestro::sim
