// kestro-link-server: serves one emulated controller over the device link, for a person trying
// the link build of the program by hand (scripts/run.sh starts it). It prints what the
// controller sees and, when the program goes away, whether the image it received equals the
// chosen record of a package. With --replay it plays a recorded controller instead, and says
// whether the program wrote what the recording holds.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tools/linkserver/LinkServer.h"
#include "tools/linkserver/Replay.h"
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
    "  --late-ack-block K --late-ack-ms MS --lost-block K\n"
    "playing a recorded controller instead (exit 0: the program wrote what it holds):\n"
    "  --replay FILE          answer as the recording did, where its reports came (exit 2 when\n"
    "                         --package is not the package it was made with)\n"
    "  --fast                 answers at once, not at their recorded distance\n"
    "  with --replay only --port --id --timeout --package and --fast apply\n";

struct Options {
  std::uint16_t port = 0;
  bool boot = false;
  std::optional<std::uint16_t> vendorId, productId;
  NormalConfig normal;
  BootConfig bootConfig;
  std::string id = "kestro0";
  kestro::link::InterfaceFlags flags;
  std::optional<std::uint32_t> attachLateMs;
  std::string packagePath;
  std::uint32_t record = 0;
  std::uint32_t timeoutS = 3600;
  std::string replayPath;
  bool fast = false;
};

// What a replay takes from the command line: the recording is the controller.
constexpr std::string_view kReplayOptions[] = {"--help",    "-h",       "--port", "--id",
                                               "--timeout", "--replay", "--fast", "--package"};

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

// What follows an option's name on the command line.
enum class Takes { kNothing, kNumber, kText };

struct Value {
  std::uint64_t number = 0;  // Takes::kNumber, at most the option's max
  std::string text;          // Takes::kText
};

struct Option {
  const char* name;
  Takes takes;
  std::uint64_t max;  // Takes::kNumber: the largest value taken
  void (*set)(Options& options, const Value& value);
  // Takes::kText: whether a value is one the option takes (nullptr: any), and what is said of
  // one it does not.
  bool (*accepts)(const std::string& text) = nullptr;
  const char* refusal = nullptr;
};

void Help(Options&, const Value&) {
  std::fputs(kUsage, stdout);
  std::exit(0);
}

template <typename T>
T As(const Value& value) {
  return static_cast<T>(value.number);
}

// Each option is taken where it stands on the command line; a fault option of one mode means
// nothing to the other's controller. --help is kUsage, written by hand to group the options;
// the check below keeps the two naming the same options.
constexpr Option kOptions[] = {
    {"--help", Takes::kNothing, 0, Help},
    {"-h", Takes::kNothing, 0, Help},
    {"--port", Takes::kNumber, 65535,
     [](Options& o, const Value& v) { o.port = As<std::uint16_t>(v); }},
    {"--mode", Takes::kText, 0, [](Options& o, const Value& v) { o.boot = v.text == "boot"; },
     [](const std::string& mode) { return mode == "normal" || mode == "boot"; },
     "--mode is normal or boot\n"},
    {"--vid", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.vendorId = As<std::uint16_t>(v); }},
    {"--pid", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.productId = As<std::uint16_t>(v); }},
    {"--version", Takes::kNumber, 0xFFFFFFFF,
     [](Options& o, const Value& v) {
       o.normal.version = o.bootConfig.version = As<std::uint32_t>(v);
     }},
    {"--firmware-type", Takes::kNumber, 0xFFFFFFFF,
     [](Options& o, const Value& v) { o.normal.firmwareType = As<std::uint32_t>(v); }},
    {"--model", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.bootConfig.modelId = As<std::uint16_t>(v); }},
    {"--variant", Takes::kNumber, 0xFF,
     [](Options& o, const Value& v) { o.bootConfig.variant = As<std::uint8_t>(v); }},
    {"--id", Takes::kText, 0, [](Options& o, const Value& v) { o.id = v.text; }},
    {"--noopen", Takes::kNothing, 0, [](Options& o, const Value&) { o.flags.noOpen = true; }},
    {"--noattr", Takes::kNothing, 0, [](Options& o, const Value&) { o.flags.noAttr = true; }},
    {"--attach-late", Takes::kNumber, 3600000,
     [](Options& o, const Value& v) { o.attachLateMs = As<std::uint32_t>(v); }},
    {"--package", Takes::kText, 0, [](Options& o, const Value& v) { o.packagePath = v.text; }},
    {"--record", Takes::kNumber, 0xFFFFFFFF,
     [](Options& o, const Value& v) { o.record = As<std::uint32_t>(v); }},
    {"--timeout", Takes::kNumber, 86400,
     [](Options& o, const Value& v) { o.timeoutS = As<std::uint32_t>(v); }},
    // Faults of the normal-mode controller.
    {"--silent", Takes::kNothing, 0,
     [](Options& o, const Value&) { o.normal.faults.silent = true; }},
    {"--bad-first-byte", Takes::kNothing, 0,
     [](Options& o, const Value&) { o.normal.faults.badFirstByte = true; }},
    {"--unknown-types", Takes::kNothing, 0,
     [](Options& o, const Value&) { o.normal.faults.unknownTypes = true; }},
    {"--fail-at-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.normal.faults.failAtBlock = As<int>(v); }},
    {"--fail-code", Takes::kNumber, 0xFF,
     [](Options& o, const Value& v) { o.normal.faults.failCode = As<std::uint8_t>(v); }},
    {"--silent-after-announce", Takes::kNothing, 0,
     [](Options& o, const Value&) { o.normal.faults.silentAfterAnnounce = true; }},
    {"--erase-ms", Takes::kNumber, 600000,
     [](Options& o, const Value& v) {
       o.normal.faults.firstRequestDelayMs = As<std::uint32_t>(v);
     }},
    {"--noise-only", Takes::kNothing, 0,
     [](Options& o, const Value&) { o.normal.faults.noiseOnly = true; }},
    {"--noise-from-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.normal.faults.noiseFromBlock = As<int>(v); }},
    {"--silent-from-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.normal.faults.silentFromBlock = As<int>(v); }},
    // Faults of both controllers.
    {"--answer-delay", Takes::kNumber, 60000,
     [](Options& o, const Value& v) {
       o.normal.faults.answerDelayMs = o.bootConfig.faults.answerDelayMs = As<std::uint32_t>(v);
     }},
    {"--detach-at-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) {
       o.normal.faults.detachAtBlock = o.bootConfig.faults.detachAtBlock = As<int>(v);
     }},
    {"--stall-at-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) {
       o.normal.faults.stallAtBlock = o.bootConfig.faults.stallAtBlock = As<int>(v);
     }},
    {"--noise-burst", Takes::kNumber, 1000,
     [](Options& o, const Value& v) {
       o.normal.faults.noiseBurst = o.bootConfig.faults.noiseBurst = As<int>(v);
     }},
    // Faults of the boot loader.
    {"--late-ack-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.lateAckBlock = As<int>(v); }},
    {"--late-ack-ms", Takes::kNumber, 600000,
     [](Options& o, const Value& v) { o.bootConfig.faults.lateAckMs = As<std::uint32_t>(v); }},
    {"--lost-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.lostBlock = As<int>(v); }},
    {"--silent-to", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.silentTo = As<int>(v); }},
    {"--busy-for", Takes::kNumber, 600000,
     [](Options& o, const Value& v) { o.bootConfig.faults.busyForMs = As<std::uint32_t>(v); }},
    {"--busy-code", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) {
       o.bootConfig.faults.busyAnswersForOtherCommand = As<int>(v);
     }},
    {"--lost-ack-block", Takes::kNumber, 0x7FFFFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.lostAckBlock = As<int>(v); }},
    {"--wrong-code-for", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.wrongCodeFor = As<int>(v); }},
    {"--wrong-status-for", Takes::kNumber, 0xFFFF,
     [](Options& o, const Value& v) { o.bootConfig.faults.wrongStatusFor = As<int>(v); }},
    // A recorded controller instead.
    {"--replay", Takes::kText, 0, [](Options& o, const Value& v) { o.replayPath = v.text; }},
    {"--fast", Takes::kNothing, 0, [](Options& o, const Value&) { o.fast = true; }},
};

constexpr const Option* FindOption(std::string_view name) {
  for (const Option& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// Whether every option of the table but the help itself appears in kUsage as a word of its own,
// and every word of kUsage that starts with "--" is an option of the table.
constexpr bool UsageMatchesOptions() {
  const std::string_view usage = kUsage;
  auto word = [&](std::size_t start) {
    return usage.substr(start, usage.find_first_of(" \n", start) - start);
  };
  for (const Option& option : kOptions) {
    bool named = option.set == Help;
    for (std::size_t at = usage.find(option.name); !named && at != std::string_view::npos;
         at = usage.find(option.name, at + 1)) {
      named = usage[at - 1] == ' ' && word(at) == option.name;
    }
    if (!named) return false;
  }
  for (std::size_t at = usage.find(" --"); at != std::string_view::npos;
       at = usage.find(" --", at + 1)) {
    if (FindOption(word(at + 1)) == nullptr) return false;
  }
  return true;
}
static_assert(UsageMatchesOptions(), "--help and the option table must name the same options");

// The value that follows the option at argv[i] (i moves past it); nothing after saying why.
std::optional<Value> TakeValue(const Option& option, int argc, char** argv, int& i) {
  Value value;
  if (option.takes == Takes::kNothing) return value;
  const char* text = i + 1 < argc ? argv[i + 1] : nullptr;
  if (option.takes == Takes::kNumber) {
    if (text == nullptr || !ParseNumber(text, option.max, value.number)) {
      std::fprintf(stderr, "%s needs a number up to %llu\n", option.name,
                   static_cast<unsigned long long>(option.max));
      return std::nullopt;
    }
  } else if (text == nullptr) {
    std::fprintf(stderr, "%s needs a value\n", option.name);
    return std::nullopt;
  } else {
    value.text = text;
    if (option.accepts != nullptr && !option.accepts(value.text)) {
      std::fputs(option.refusal, stderr);
      return std::nullopt;
    }
  }
  ++i;
  return value;
}

// Returns nothing (after printing why) when the command line is not understood.
std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> given;
  for (int i = 1; i < argc; ++i) {
    const Option* option = FindOption(argv[i]);
    if (option == nullptr) {
      std::fprintf(stderr, "unknown option %s\n%s", argv[i], kUsage);
      return std::nullopt;
    }
    const std::optional<Value> value = TakeValue(*option, argc, argv, i);
    if (!value) return std::nullopt;
    option->set(options, *value);
    given.push_back(option->name);
  }
  for (const std::string_view name : given) {
    const bool replays = std::find(std::begin(kReplayOptions), std::end(kReplayOptions), name) !=
                         std::end(kReplayOptions);
    if (!options.replayPath.empty() && !replays) {
      std::fprintf(stderr,
                   "kestro-link-server: %s: the recording is the controller with --replay\n",
                   std::string(name).c_str());
      return std::nullopt;
    }
    if (options.replayPath.empty() && name == "--fast") {
      std::fputs("kestro-link-server: --fast: goes with --replay\n", stderr);
      return std::nullopt;
    }
  }
  // --vid and --pid are the identity of the chosen mode's controller, wherever --mode stands.
  NormalConfig& normal = options.normal;
  BootConfig& boot = options.bootConfig;
  if (options.vendorId) (options.boot ? boot.vendorId : normal.vendorId) = *options.vendorId;
  if (options.productId) (options.boot ? boot.productId : normal.productId) = *options.productId;
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

// The package's record that the controller should end up with; nothing after saying why not.
std::optional<Record> ReadExpected(const Options& options) {
  const auto bytes = kestro::sim::ReadFileBytes(options.packagePath);
  if (!bytes) {
    std::fprintf(stderr, "cannot read %s\n", options.packagePath.c_str());
    return std::nullopt;
  }
  std::optional<Record> expected = ReadRecord(*bytes, options.record);
  if (!expected) {
    std::fprintf(stderr, "%s has no whole record %u\n", options.packagePath.c_str(),
                 options.record);
  }
  return expected;
}

// The signals are taken by sigtimedwait in Serve, so every thread must start with them blocked.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

// The emulated controller: one of the two, and the device the server hosts it as.
struct Controller {
  std::shared_ptr<NormalController> normal;
  std::shared_ptr<BootController> boot;
  std::shared_ptr<kestro::sim::Device> device;
};

Controller MakeController(const Options& options) {
  Controller controller;
  auto log = [](const std::string& line) { Say("controller: " + line); };
  if (options.boot) {
    controller.boot = std::make_shared<BootController>(options.bootConfig);
    controller.boot->SetEventLog(log);
    controller.device = controller.boot;
  } else {
    controller.normal = std::make_shared<NormalController>(options.normal);
    controller.normal->SetEventLog(log);
    controller.device = controller.normal;
  }
  return controller;
}

// Listens with the controller attached, unless it comes late; false after saying why not.
bool StartServer(LinkServer& server, const Options& options, const Controller& controller) {
  if (!options.attachLateMs) server.Attach(options.id, controller.device, options.flags);
  if (!server.Start(options.port)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", options.port);
    return false;
  }
  char identity[64];
  std::snprintf(identity, sizeof identity, "%s controller %04x:%04x",
                options.boot ? "boot-mode" : "normal-mode", controller.device->VendorId(),
                controller.device->ProductId());
  Say(std::string("listening on 127.0.0.1:") + std::to_string(server.Port()) + ", " + identity);
  return true;
}

// Serves until the program goes, a stop signal comes or the time is up; returns which.
const char* Serve(LinkServer& server, const Options& options, const Controller& controller,
                  const sigset_t& stopSignals) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutS);
  std::optional<Clock::time_point> connectedAt;
  bool attached = !options.attachLateMs;
  while (Clock::now() < deadline) {
    timespec tick{0, 100 * 1000 * 1000};
    const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) return signal == SIGINT ? "SIGINT" : "SIGTERM";
    if (!connectedAt && server.ClientConnected()) {
      connectedAt = Clock::now();
      Say("program connected");
    }
    if (connectedAt && !attached &&
        Clock::now() - *connectedAt >= std::chrono::milliseconds(*options.attachLateMs)) {
      server.Attach(options.id, controller.device, options.flags);
      attached = true;
      Say("attached " + options.id +
          (server.Notify("arrival") ? ", arrival notified"
                                    : ", arrival NOT notified: the program is not connected"));
    }
    if (server.ClientGone()) return "program disconnected";
  }
  return "time-out";
}

struct Outcome {
  bool ended = false;  // the controller saw the update to its end
  std::vector<std::uint8_t> received;
};

// Says what the controller saw; the image it received is compared only when one is expected.
Outcome Summarize(const Controller& controller, const std::optional<Record>& expected) {
  Outcome outcome;
  if (const auto& normal = controller.normal) {
    outcome.ended = normal->Ended();
    outcome.received = normal->ReceivedImage();
    Say("version queries: " + std::to_string(normal->VersionQueries()) +
        ", image announced: " + (normal->Announced() ? "yes" : "no") +
        ", announced length: " + std::to_string(normal->AnnouncedLength()) +
        ", bytes received: " + std::to_string(outcome.received.size()) +
        ", update ended: " + (outcome.ended ? "yes" : "no"));
    // Exactly the image: a byte from behind it would be a fault of the host's.
    return outcome;
  }
  const BootController& boot = *controller.boot;
  outcome.ended = boot.Finished();
  const auto version = boot.VersionWord();
  char word[16] = "none";
  if (version) std::snprintf(word, sizeof word, "0x%x", *version);
  Say(std::string("started: ") + (boot.Started() ? "yes" : "no") +
      ", version word written: " + word + ", finished: " + (outcome.ended ? "yes" : "no"));
  if (expected) {
    outcome.received =
        boot.FlashRange(expected->baseAddress, static_cast<std::uint32_t>(expected->image.size()));
  }
  return outcome;
}

// Plays the recording until its end, a report it does not hold, or the program's going: 0 when
// the program wrote what it holds, 1 when not, 2 when it cannot start.
int PlayRecording(const Options& options, const sigset_t& stopSignals) {
  const auto bytes = kestro::sim::ReadFileBytes(options.replayPath);
  if (!bytes) {
    std::fprintf(stderr, "kestro-link-server: --replay %s: cannot read it\n",
                 options.replayPath.c_str());
    return 2;
  }
  std::string error;
  std::optional<kestro::link::Recording> recording = kestro::link::ParseRecording(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), error);
  if (!recording) {
    std::fprintf(stderr, "kestro-link-server: --replay %s: %s\n", options.replayPath.c_str(),
                 error.c_str());
    return 2;
  }
  const std::string mismatch =
      kestro::link::PackageMismatch(recording->header, options.packagePath);
  if (!mismatch.empty()) {
    std::fprintf(stderr, "kestro-link-server: %s\n", mismatch.c_str());
    return 2;
  }
  const kestro::record::Controller identity = recording->header.controller;
  LinkServer server;
  kestro::link::Replay replay(server, options.id, std::move(*recording), options.fast, Say);
  replay.Attach();
  if (!server.Start(options.port)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", options.port);
    return 2;
  }
  char controller[96];
  std::snprintf(controller, sizeof controller, "%s controller %04x:%04x%s", identity.mode.c_str(),
                identity.vendorId, identity.productId, options.fast ? ", answers at once" : "");
  Say("listening on 127.0.0.1:" + std::to_string(server.Port()) + ", replaying " +
      options.replayPath + ": " + controller);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutS);
  const kestro::link::ReplayResult result = replay.Run([&]() -> const char* {
    const timespec now{0, 0};
    const int signal = sigtimedwait(&stopSignals, nullptr, &now);
    if (signal == SIGINT || signal == SIGTERM) return signal == SIGINT ? "SIGINT" : "SIGTERM";
    return Clock::now() < deadline ? nullptr : "time-out";
  });
  server.Stop();
  Say(result.text);
  return result.complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return 2;
  if (!options->replayPath.empty()) return PlayRecording(*options, BlockStopSignals());
  std::optional<Record> expected;
  if (!options->packagePath.empty()) {
    expected = ReadExpected(*options);
    if (!expected) return 2;
  }
  const sigset_t stopSignals = BlockStopSignals();
  const Controller controller = MakeController(*options);
  LinkServer server;
  if (!StartServer(server, *options, controller)) return 2;
  const char* reason = Serve(server, *options, controller, stopSignals);
  server.Stop();
  Say(std::string("stopping: ") + reason);

  const Outcome outcome = Summarize(controller, expected);
  if (!expected) return outcome.ended ? 0 : 1;
  const bool matches = outcome.received == expected->image;
  Say(matches ? "image matches package" : "image differs from package");
  return matches ? 0 : 1;
}
