// kestro-package: builds firmware packages from generated images, and lists what a package holds.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Package.h"
#include "tools/package/PackageListing.h"

namespace {

// Generated images stay small enough to keep in memory many times over.
constexpr std::uint64_t kMaxImageBytes = 64u << 20;

constexpr char kUsage[] =
    "usage:\n"
    "  kestro-package build OUT.dat --record KEY=VALUE[,KEY=VALUE...] [--record ...]\n"
    "                 [--truncate BYTES]\n"
    "      keys: model, variant, version, beta, base, size (image bytes), seed (image pattern),\n"
    "            length (header length field, when it should differ from size)\n"
    "      numbers are decimal or 0x-prefixed hexadecimal\n"
    "  kestro-package list FILE.dat\n"
    "      exit status 0: complete, 2: the file is cut short, 1: error\n";

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool ParseRecord(std::string_view recordText, std::uint32_t defaultSeed,
                 kestro::sim::PackageRecord& record) {
  std::uint64_t size = 0;
  std::uint64_t seed = defaultSeed;
  while (!recordText.empty()) {
    const std::size_t comma = recordText.find(',');
    const std::string_view item = recordText.substr(0, comma);
    recordText =
        comma == std::string_view::npos ? std::string_view() : recordText.substr(comma + 1);
    const std::size_t equals = item.find('=');
    const std::string_view key = item.substr(0, equals);
    const std::optional<std::uint64_t> value =
        equals == std::string_view::npos ? std::nullopt : ParseNumber(item.substr(equals + 1));
    auto fits = [&](std::uint64_t max) {
      if (value && *value <= max) return true;
      std::fprintf(stderr, "kestro-package: bad value in '%.*s'\n", static_cast<int>(item.size()),
                   item.data());
      return false;
    };
    if (key == "model") {
      if (!fits(0xFFFF)) return false;
      record.modelId = static_cast<std::uint16_t>(*value);
    } else if (key == "variant") {
      if (!fits(0xFF)) return false;
      record.variant = static_cast<std::uint8_t>(*value);
    } else if (key == "version") {
      if (!fits(0xFFFF)) return false;
      record.version = static_cast<std::uint16_t>(*value);
    } else if (key == "beta") {
      if (!fits(0xFFFF)) return false;
      record.beta = static_cast<std::uint16_t>(*value);
    } else if (key == "base") {
      if (!fits(0xFFFFFFFF)) return false;
      record.baseAddress = static_cast<std::uint32_t>(*value);
    } else if (key == "length") {
      if (!fits(0xFFFFFFFF)) return false;
      record.lengthField = static_cast<std::uint32_t>(*value);
    } else if (key == "size") {
      if (!fits(kMaxImageBytes)) return false;
      size = *value;
    } else if (key == "seed") {
      if (!fits(0xFFFFFFFF)) return false;
      seed = *value;
    } else {
      std::fprintf(stderr, "kestro-package: unknown key in '%.*s'\n", static_cast<int>(item.size()),
                   item.data());
      return false;
    }
  }
  record.image = kestro::sim::PatternImage(size, static_cast<std::uint32_t>(seed));
  return true;
}

int Build(const std::vector<std::string_view>& args) {
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string out(args[0]);
  std::vector<kestro::sim::PackageRecord> records;
  std::optional<std::uint64_t> truncate;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "kestro-package: %.*s needs a value\n", static_cast<int>(args[i].size()),
                   args[i].data());
      return 1;
    }
    if (args[i] == "--record") {
      kestro::sim::PackageRecord record;
      if (!ParseRecord(args[++i], static_cast<std::uint32_t>(records.size() + 1), record)) {
        return 1;
      }
      records.push_back(std::move(record));
    } else if (args[i] == "--truncate") {
      truncate = ParseNumber(args[++i]);
      if (!truncate) {
        std::fputs("kestro-package: bad --truncate value\n", stderr);
        return 1;
      }
    } else {
      std::fputs(kUsage, stderr);
      return 1;
    }
  }
  std::vector<std::uint8_t> bytes = kestro::sim::BuildPackage(records);
  if (truncate) {
    if (*truncate >= bytes.size()) {
      std::fprintf(stderr, "kestro-package: --truncate %zu does not cut the %zu-byte package\n",
                   static_cast<std::size_t>(*truncate), bytes.size());
      return 1;
    }
    bytes.resize(*truncate);
  }
  if (!kestro::sim::WriteFileBytes(out, bytes)) {
    std::fprintf(stderr, "kestro-package: cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("%s: %zu record(s), %zu bytes\n", out.c_str(), records.size(), bytes.size());
  return 0;
}

int List(const std::vector<std::string_view>& args) {
  if (args.size() != 1) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string path(args[0]);
  const std::optional<std::vector<std::uint8_t>> bytes = kestro::sim::ReadFileBytes(path);
  if (!bytes) {
    std::fprintf(stderr, "kestro-package: cannot read %s\n", path.c_str());
    return 1;
  }
  const kestro::tools::Listing listing = kestro::tools::ListPackage(*bytes);
  std::fputs(kestro::tools::FormatListing(listing).c_str(), stdout);
  return listing.cutShort ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (!args.empty() && args[0] == "build") return Build({args.begin() + 1, args.end()});
  if (!args.empty() && args[0] == "list") return List({args.begin() + 1, args.end()});
  const bool help = !args.empty() && (args[0] == "--help" || args[0] == "-h");
  std::fputs(kUsage, help ? stdout : stderr);
  return help ? 0 : 1;
}
