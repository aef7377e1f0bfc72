#include "tools/package/RecordArgument.h"

#include <cinttypes>
#include <cstdio>
#include <set>
#include <vector>

#include "tools/package/CommandLine.h"
#include "tools/package/Files.h"
#include "tools/package/IntelHex.h"

namespace kestro::tools {
namespace {

constexpr std::string_view kHexSuffix = ".hex";
constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

RecordResult Error(std::string message) {
  RecordResult result;
  result.error = std::move(message);
  return result;
}

std::string Address(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08" PRIX64, address);
  return text;
}

bool IsHexName(std::string_view path) {
  if (path.size() < kHexSuffix.size()) return false;
  const std::string_view suffix = path.substr(path.size() - kHexSuffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const char c = suffix[i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kHexSuffix[i]) return false;
  }
  return true;
}

// The image of an Intel HEX file, from `base` when given, else from its lowest address.
RecordResult FromHex(const std::string& path, std::string_view text,
                     std::optional<std::uint32_t> base, sim::PackageRecord record) {
  HexResult hex = ReadIntelHex(text);
  if (!hex.image) {
    return Error(path + " line " + std::to_string(hex.error.line) + ": " + hex.error.message);
  }
  record.baseAddress = hex.image->baseAddress;
  record.image = std::move(hex.image->bytes);
  if (base) {
    if (*base > record.baseAddress) {
      return Error("base " + Address(*base) + " lies above " + path + "'s lowest address " +
                   Address(record.baseAddress));
    }
    const std::uint64_t padding = record.baseAddress - *base;
    if (padding + record.image.size() > kMaxFileImageBytes) {
      return Error("from base " + Address(*base) + ", " + path + " spans more than " +
                   std::to_string(kMaxFileImageBytes >> 20) + " MiB");
    }
    record.image.insert(record.image.begin(), static_cast<std::size_t>(padding), kGapFillByte);
    record.baseAddress = *base;
  }
  return {std::move(record), {}};
}

RecordResult FromRaw(const std::string& path, std::vector<std::uint8_t> bytes,
                     std::optional<std::uint32_t> base, sim::PackageRecord record) {
  if (!base) {
    return Error(path + " is a raw image and needs base=ADDRESS (only a .hex file names its own)");
  }
  // A record of length 0 is one the updater refuses to send.
  if (bytes.empty()) return Error(path + " is empty");
  if (bytes.size() > kMaxFileImageBytes) {
    return Error(path + " holds " + std::to_string(bytes.size()) + " bytes, more than " +
                 std::to_string(kMaxFileImageBytes >> 20) + " MiB");
  }
  if (*base + bytes.size() > kAddressSpace) {
    return Error(path + " at base " + Address(*base) + " runs past address 0xFFFFFFFF");
  }
  record.baseAddress = *base;
  record.image = std::move(bytes);
  return {std::move(record), {}};
}

}  // namespace

RecordResult MakeRecord(std::string_view argument, std::uint32_t defaultSeed) {
  sim::PackageRecord record;
  std::optional<std::uint32_t> base;
  std::optional<std::uint64_t> size;
  std::optional<std::uint64_t> seed;
  std::optional<std::string> imagePath;
  std::set<std::string_view> keys;
  while (!argument.empty()) {
    const std::size_t comma = argument.find(',');
    const std::string_view item = argument.substr(0, comma);
    argument = comma == std::string_view::npos ? std::string_view() : argument.substr(comma + 1);
    const std::size_t equals = item.find('=');
    const std::string_view key = item.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
    if (!keys.insert(key).second) {
      // Not "'" + std::string(key): MinGW's g++ 12 at -O3 warns of an overlap there that is not.
      return Error(std::string("'").append(key).append("' given twice in a record"));
    }
    if (key == "image") {
      if (value.empty()) return Error("'image=' needs a file name");
      imagePath = std::string(value);
      continue;
    }
    const std::optional<std::uint64_t> number = ParseNumber(value);
    auto fits = [&](std::uint64_t max) { return number && *number <= max; };
    bool good = true;
    if (key == "model") {
      good = fits(0xFFFF);
      record.modelId = static_cast<std::uint16_t>(number.value_or(0));
    } else if (key == "variant") {
      good = fits(0xFF);
      record.variant = static_cast<std::uint8_t>(number.value_or(0));
    } else if (key == "version") {
      good = fits(0xFFFF);
      record.version = static_cast<std::uint16_t>(number.value_or(0));
    } else if (key == "beta") {
      good = fits(0xFFFF);
      record.beta = static_cast<std::uint16_t>(number.value_or(0));
    } else if (key == "base") {
      good = fits(0xFFFFFFFF);
      base = static_cast<std::uint32_t>(number.value_or(0));
    } else if (key == "length") {
      good = fits(0xFFFFFFFF);
      record.lengthField = static_cast<std::uint32_t>(number.value_or(0));
    } else if (key == "size") {
      good = fits(kMaxGeneratedImageBytes);
      size = number;
    } else if (key == "seed") {
      good = fits(0xFFFFFFFF);
      seed = number;
    } else {
      return Error("unknown key in '" + std::string(item) + "'");
    }
    if (!good) return Error("bad value in '" + std::string(item) + "'");
  }

  if (!imagePath) {
    record.image = sim::PatternImage(static_cast<std::size_t>(size.value_or(0)),
                                     static_cast<std::uint32_t>(seed.value_or(defaultSeed)));
    if (base) record.baseAddress = *base;
    return {std::move(record), {}};
  }
  if (size || seed) return Error("a record's image comes from image= or from size=, not both");
  // The updater picks an image by model and variant alone: a default of 0 would silently make
  // the image one for every normal-mode controller.
  if (!keys.contains("model") || !keys.contains("variant") || !keys.contains("version")) {
    return Error("a record with image= needs model, variant and version");
  }
  std::optional<std::vector<std::uint8_t>> bytes = ReadWholeFile(*imagePath);
  if (!bytes) return Error("cannot read " + *imagePath);
  if (IsHexName(*imagePath)) {
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    return FromHex(*imagePath, text, base, std::move(record));
  }
  return FromRaw(*imagePath, std::move(*bytes), base, std::move(record));
}

}  // namespace kestro::tools
