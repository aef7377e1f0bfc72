// kestro-link-server: serves one emulated controller over the device link, for a person trying
// the link build of the program by hand (scripts/run.sh starts it). It prints what the
// controller sees and, when the program goes away, whether the image it received equals the
// chosen record of a package.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tools/linkserver/LinkServer.h"
#include "tools/package/PackageListing.h"

namespace {

using kestro::link::LinkServer;
using kestro::sim::BootConfig;
using kestro::sim::BootController;
using kestro::sim::NormalConfig;
using kestro::sim::NormalController;

constexpr char kUsage[] =
    "usage: kestro-link-server [options]\n"
    "  --port N               TCP port on 127.0.0.1 (0, the default, picks a free one)\n"
    "  --mode normal|boot     the controller's firmware: normal (default) or its boot loader\n"
    "  --vid 0xNNNN --pid 0xNNNN   USB identity (defaults 3a7c:5750 normal, 3a7c:3002 boot)\n"
    "  --version N            version word the controller reports (default 123)\n"
    "  --firmware-type N      normal mode: firmware type of the update info (default 1)\n"
    "  --model N --variant N  boot mode: model id and variant (defaults 0x0102, 3)\n"
    "  --id NAME              the interface's name on the link (default kestro0)\n"
    "  --noopen / --noattr    opening the interface / reading its attributes fails\n"
    "  --attach-late MS       attach (and notify arrival) MS after the program connected\n"
    "  --package FILE.dat --record N   compare the received image with record N (0-based)\n"
    "  --timeout S            give up after S seconds (default 3600)\n"
    "faults, normal mode:\n"
    "  --silent --answer-delay MS --bad-first-byte --unknown-types --fail-at-block K\n"
    "  --fail-code C --detach-at-block K --silent-after-announce --silent-from-block K\n"
    "  --erase-ms MS (first data request that late) --noise-only --noise-from-block K\n"
    "  --noise-burst N (both modes: N ignorable reports before each answer)\n"
    "  --stall-at-block K (both modes: takes no output reports from block K on)\n"
    "faults, boot mode:\n"
    "  --silent-to CODE --busy-for MS --busy-code CODE --lost-ack-block K --wrong-code-for CODE\n"
    "  --wrong-status-for CODE --detach-at-block K --answer-delay MS\n"
    "  --late-ack-block K --late-ack-ms MS --lost-block K\n";

struct Options {
  std::uint16_t port = 0;
  bool boot = false;
  std::optional<std::uint16_t> vendorId, productId;
  NormalConfig normal;
  BootConfig boot_config;
  std::string id = "kestro0";
  kestro::link::InterfaceFlags flags;
  std::optional<std::uint32_t> attachLateMs;
  std::string packagePath;
  std::uint32_t record = 0;
  std::uint32_t timeoutS = 3600;
};

std::string Now() {
  using namespace std::chrono;
  static const auto start = steady_clock::now();
  char text[32];
  std::snprintf(text, sizeof text, "%8.3f",
                duration_cast<milliseconds>(steady_clock::now() - start).count() / 1000.0);
  return text;
}

void Say(const std::string& line) {
  std::printf("[%s] %s\n", Now().c_str(), line.c_str());
  std::fflush(stdout);
}

bool ParseNumber(const char* text, std::uint64_t max, std::uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || parsed > max || text[0] == '-') return false;
  value = parsed;
  return true;
}

// Returns nothing (after printing why) when the command line is not understood.
std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    auto flag = [&](const char* wanted) { return name == wanted; };
    std::uint64_t value = 0;
    auto number = [&](const char* wanted, std::uint64_t max) {
      if (name != wanted) return false;
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], max, value)) {
        std::fprintf(stderr, "%s needs a number up to %llu\n", wanted,
                     static_cast<unsigned long long>(max));
        std::exit(2);
      }
      ++i;
      return true;
    };
    auto text = [&](const char* wanted, std::string& out) {
      if (name != wanted) return false;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", wanted);
        std::exit(2);
      }
      out = argv[++i];
      return true;
    };
    std::string mode;
    kestro::sim::NormalFaults& nf = options.normal.faults;
    kestro::sim::BootFaults& bf = options.boot_config.faults;
    if (flag("--help") || flag("-h")) {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (number("--port", 65535)) {
      options.port = static_cast<std::uint16_t>(value);
    } else if (text("--mode", mode)) {
      if (mode != "normal" && mode != "boot") {
        std::fprintf(stderr, "--mode is normal or boot\n");
        return std::nullopt;
      }
      options.boot = mode == "boot";
    } else if (number("--vid", 0xFFFF)) {
      options.vendorId = static_cast<std::uint16_t>(value);
    } else if (number("--pid", 0xFFFF)) {
      options.productId = static_cast<std::uint16_t>(value);
    } else if (number("--version", 0xFFFFFFFF)) {
      options.normal.version = options.boot_config.version = static_cast<std::uint32_t>(value);
    } else if (number("--firmware-type", 0xFFFFFFFF)) {
      options.normal.firmwareType = static_cast<std::uint32_t>(value);
    } else if (number("--model", 0xFFFF)) {
      options.boot_config.modelId = static_cast<std::uint16_t>(value);
    } else if (number("--variant", 0xFF)) {
      options.boot_config.variant = static_cast<std::uint8_t>(value);
    } else if (text("--id", options.id)) {
    } else if (flag("--noopen")) {
      options.flags.noOpen = true;
    } else if (flag("--noattr")) {
      options.flags.noAttr = true;
    } else if (number("--attach-late", 3600000)) {
      options.attachLateMs = static_cast<std::uint32_t>(value);
    } else if (text("--package", options.packagePath)) {
    } else if (number("--record", 0xFFFFFFFF)) {
      options.record = static_cast<std::uint32_t>(value);
    } else if (number("--timeout", 86400)) {
      options.timeoutS = static_cast<std::uint32_t>(value);
    } else if (flag("--silent")) {
      nf.silent = true;
    } else if (number("--answer-delay", 60000)) {
      nf.answerDelayMs = bf.answerDelayMs = static_cast<std::uint32_t>(value);
    } else if (flag("--bad-first-byte")) {
      nf.badFirstByte = true;
    } else if (flag("--unknown-types")) {
      nf.unknownTypes = true;
    } else if (number("--fail-at-block", 0x7FFFFFFF)) {
      nf.failAtBlock = static_cast<int>(value);
    } else if (number("--fail-code", 0xFF)) {
      nf.failCode = static_cast<std::uint8_t>(value);
    } else if (number("--detach-at-block", 0x7FFFFFFF)) {
      nf.detachAtBlock = bf.detachAtBlock = static_cast<int>(value);
    } else if (flag("--silent-after-announce")) {
      nf.silentAfterAnnounce = true;
    } else if (number("--erase-ms", 600000)) {
      nf.firstRequestDelayMs = static_cast<std::uint32_t>(value);
    } else if (flag("--noise-only")) {
      nf.noiseOnly = true;
    } else if (number("--noise-from-block", 0x7FFFFFFF)) {
      nf.noiseFromBlock = static_cast<int>(value);
    } else if (number("--silent-from-block", 0x7FFFFFFF)) {
      nf.silentFromBlock = static_cast<int>(value);
    } else if (number("--stall-at-block", 0x7FFFFFFF)) {
      nf.stallAtBlock = bf.stallAtBlock = static_cast<int>(value);
    } else if (number("--noise-burst", 1000)) {
      nf.noiseBurst = bf.noiseBurst = static_cast<int>(value);
    } else if (number("--late-ack-block", 0x7FFFFFFF)) {
      bf.lateAckBlock = static_cast<int>(value);
    } else if (number("--late-ack-ms", 600000)) {
      bf.lateAckMs = static_cast<std::uint32_t>(value);
    } else if (number("--lost-block", 0x7FFFFFFF)) {
      bf.lostBlock = static_cast<int>(value);
    } else if (number("--silent-to", 0xFFFF)) {
      bf.silentTo = static_cast<int>(value);
    } else if (number("--busy-for", 600000)) {
      bf.busyForMs = static_cast<std::uint32_t>(value);
    } else if (number("--busy-code", 0xFFFF)) {
      bf.busyAnswersForOtherCommand = static_cast<int>(value);
    } else if (number("--lost-ack-block", 0x7FFFFFFF)) {
      bf.lostAckBlock = static_cast<int>(value);
    } else if (number("--wrong-code-for", 0xFFFF)) {
      bf.wrongCodeFor = static_cast<int>(value);
    } else if (number("--wrong-status-for", 0xFFFF)) {
      bf.wrongStatusFor = static_cast<int>(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n%s", name.c_str(), kUsage);
      return std::nullopt;
    }
  }
  if (options.boot) {
    if (options.vendorId) options.boot_config.vendorId = *options.vendorId;
    if (options.productId) options.boot_config.productId = *options.productId;
  } else {
    if (options.vendorId) options.normal.vendorId = *options.vendorId;
    if (options.productId) options.normal.productId = *options.productId;
  }
  return options;
}

struct Record {
  std::uint32_t baseAddress = 0;
  std::vector<std::uint8_t> image;
};

// Record `index` of the package; nothing if it is not there whole.
std::optional<Record> ReadRecord(const std::vector<std::uint8_t>& package, std::uint32_t index) {
  const kestro::tools::Listing listing = kestro::tools::ListPackage(package);
  if (index >= listing.records.size() || !listing.records[index].ImageWhole()) return std::nullopt;
  const kestro::tools::ListedRecord& record = listing.records[index];
  const std::span<const std::uint8_t> image = kestro::tools::ImageOf(package, record);
  return Record{record.baseAddress, {image.begin(), image.end()}};
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return 2;

  std::optional<Record> expected;
  if (!options->packagePath.empty()) {
    auto bytes = kestro::sim::ReadFileBytes(options->packagePath);
    if (!bytes) {
      std::fprintf(stderr, "cannot read %s\n", options->packagePath.c_str());
      return 2;
    }
    expected = ReadRecord(*bytes, options->record);
    if (!expected) {
      std::fprintf(stderr, "%s has no whole record %u\n", options->packagePath.c_str(),
                   options->record);
      return 2;
    }
  }

  // The signals are taken by sigtimedwait below, so every thread must start with them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::shared_ptr<NormalController> normal;
  std::shared_ptr<BootController> boot;
  std::shared_ptr<kestro::sim::Device> device;
  if (options->boot) {
    boot = std::make_shared<BootController>(options->boot_config);
    boot->SetEventLog([](const std::string& line) { Say("controller: " + line); });
    device = boot;
  } else {
    normal = std::make_shared<NormalController>(options->normal);
    normal->SetEventLog([](const std::string& line) { Say("controller: " + line); });
    device = normal;
  }

  LinkServer server;
  if (!options->attachLateMs) server.Attach(options->id, device, options->flags);
  if (!server.Start(options->port)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", options->port);
    return 2;
  }
  char identity[64];
  std::snprintf(identity, sizeof identity, "%s controller %04x:%04x",
                options->boot ? "boot-mode" : "normal-mode", device->VendorId(),
                device->ProductId());
  Say(std::string("listening on 127.0.0.1:") + std::to_string(server.Port()) + ", " + identity);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(options->timeoutS);
  std::optional<Clock::time_point> connectedAt;
  bool attached = !options->attachLateMs;
  const char* reason = "time-out";
  while (Clock::now() < deadline) {
    timespec tick{0, 100 * 1000 * 1000};
    int signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) {
      reason = signal == SIGINT ? "SIGINT" : "SIGTERM";
      break;
    }
    if (!connectedAt && server.ClientConnected()) {
      connectedAt = Clock::now();
      Say("program connected");
    }
    if (connectedAt && !attached &&
        Clock::now() - *connectedAt >= std::chrono::milliseconds(*options->attachLateMs)) {
      server.Attach(options->id, device, options->flags);
      attached = true;
      Say("attached " + options->id +
          (server.Notify("arrival") ? ", arrival notified"
                                    : ", arrival NOT notified: the program is not connected"));
    }
    if (server.ClientGone()) {
      reason = "program disconnected";
      break;
    }
  }
  server.Stop();
  Say(std::string("stopping: ") + reason);

  bool ended = false;
  std::vector<std::uint8_t> received;
  if (normal) {
    ended = normal->Ended();
    received = normal->ReceivedImage();
    Say("version queries: " + std::to_string(normal->VersionQueries()) +
        ", image announced: " + (normal->Announced() ? "yes" : "no") +
        ", announced length: " + std::to_string(normal->AnnouncedLength()) + ", bytes received: " +
        std::to_string(received.size()) + ", update ended: " + (ended ? "yes" : "no"));
    // Exactly the image: a byte from behind it would be a fault of the host's.
  } else {
    ended = boot->Finished();
    auto version = boot->VersionWord();
    char word[16] = "none";
    if (version) std::snprintf(word, sizeof word, "0x%x", *version);
    Say(std::string("started: ") + (boot->Started() ? "yes" : "no") +
        ", version word written: " + word + ", finished: " + (ended ? "yes" : "no"));
    if (expected) {
      received = boot->FlashRange(expected->baseAddress,
                                  static_cast<std::uint32_t>(expected->image.size()));
    }
  }
  if (!expected) return ended ? 0 : 1;
  bool matches = received == expected->image;
  Say(matches ? "image matches package" : "image differs from package");
  return matches ? 0 : 1;
}
