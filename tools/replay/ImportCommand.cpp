#include "tools/replay/ImportCommand.h"

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "hid/Hid.h"
#include "tools/package/Files.h"
#include "tools/replay/CaptureImport.h"

namespace kestro::replay {

const char kUsage[] =
    "usage:\n"
    "  kestro-replay import [--device BUS.ADDR [--id VVVV:PPPP]] CAPTURE OUT.jsonl\n"
    "      makes a recording of the session with a controller in a USB capture (pcap or pcapng,\n"
    "      from usbmon on Linux or USBPcap on Windows)\n"
    "      --device  the controller, as the capture numbers it (e.g. 1.7); needed when the\n"
    "                capture holds no device descriptor of it\n"
    "      --id      its vendor and product id in hex when the capture holds no descriptor of it\n"
    "                (3a7c:5750, the default, or 0483:5750: normal mode; 3a7c:3002: boot mode)\n"
    "      exit status 0: written, 2: no session in the capture, 1: the recording could not be\n"
    "      written, 64: usage\n";

namespace {

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text, int base) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "1.7"
std::optional<DeviceAddress> ParseDevice(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto bus = ParseNumber<std::uint16_t>(text.substr(0, dot), 10);
  const auto address = ParseNumber<std::uint16_t>(text.substr(dot + 1), 10);
  if (!bus || !address) return std::nullopt;
  return DeviceAddress{*bus, *address};
}

// "3a7c:3002", one of the supported pairs.
std::optional<HidAttributes> ParseIds(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto vendor = ParseNumber<std::uint16_t>(text.substr(0, colon), 16);
  const auto product = ParseNumber<std::uint16_t>(text.substr(colon + 1), 16);
  if (!vendor || !product) return std::nullopt;
  const HidAttributes ids{*vendor, *product};
  if (!IsSupportedController(ids)) return std::nullopt;
  return ids;
}

int UsageError(std::ostream& err, const std::string& message) {
  err << "kestro-replay: " << message << '\n' << kUsage;
  return kExitUsage;
}

}  // namespace

int RunImport(Arguments args, std::ostream& err) {
  ImportOptions options;
  options.identity = {kVendorKestro, kProductNormal};
  bool identityGiven = false;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--device" || arg == "--id") {
      if (i + 1 == args.size()) return UsageError(err, std::string(arg) + " needs a value");
      const std::string_view value = args[++i];
      if (arg == "--device") {
        options.device = ParseDevice(value);
        if (!options.device) {
          return UsageError(err, "--device " + std::string(value) + ": not BUS.ADDR, e.g. 1.7");
        }
      } else {
        const std::optional<HidAttributes> ids = ParseIds(value);
        if (!ids) {
          return UsageError(
              err, "--id " + std::string(value) + ": not one of 3a7c:5750, 0483:5750, 3a7c:3002");
        }
        options.identity = *ids;
        identityGiven = true;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError(err, "unknown option " + std::string(arg));
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.size() != 2) return UsageError(err, "import takes a capture and a file to write");
  if (identityGiven && !options.device) return UsageError(err, "--id goes with --device");
  const std::string& capture = files[0];
  const std::string& output = files[1];

  std::string error;
  const std::optional<Imported> imported = ImportCapture(capture, options, error);
  if (!imported) {
    err << "kestro-replay: " << capture << ": " << error << '\n';
    return kExitCapture;
  }
  std::string text = record::HeaderLine(imported->header);
  for (const record::Event& event : imported->events) text += record::EventLine(event);
  error = tools::WriteFileAtomically(
      output, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (!error.empty()) {
    err << "kestro-replay: " << error << '\n';
    return kExitError;
  }
  const record::Controller& c = imported->header.controller;
  err << "kestro-replay: " << c.path << " (" << c.mode << " mode): " << imported->events.size()
      << (imported->events.size() == 1 ? " event" : " events") << " to " << output << "; "
      << SkippedSummary(*imported) << '\n';
  return kExitOk;
}

}  // namespace kestro::replay
