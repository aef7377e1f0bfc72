// kestro-update: the updater on Linux, over hidraw. The same core as the Windows program (the
// controller's identities, the package selection, both protocols with every bound) under a
// terminal front.
//
//   kestro-update [--yes] [--wait] [--timeout SECONDS] [--debug] [PACKAGE.dat]
//
// Without a package: the controller's version, as the Windows program's title shows it. With
// one: the update. Exit status 0 when it did what was asked; 1 when an update failed or was not
// made (a bad file, a boot loader that does not tell its model, cancelled); 2 when there is no
// controller to talk to.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/StopSignal.h"
#include "cli/TerminalHost.h"
#include "cli/Texts.h"
#include "hid/Hid.h"
#include "platform/Diagnostics.h"
#include "platform/Utf8.h"
#include "platform/hidraw/HidrawPort.h"
#include "update/BootUpdate.h"
#include "update/FramedUpdate.h"
#include "update/Package.h"
#include "update/PackageFile.h"
#include "update/UpdateState.h"

namespace kestro::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDefaultWaitSeconds = 5 * 60;
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoController = 2;
constexpr int kExitUsage = 64;

constexpr char kUsage[] =
    "usage: kestro-update [--yes] [--wait] [--timeout SECONDS] [--debug] [PACKAGE.dat]\n"
    "       kestro-update --help\n"
    "  without PACKAGE: shows the connected controller's firmware version\n"
    "  PACKAGE.dat      updates the controller with the package's image for it\n"
    "  --yes            takes the offered version without asking\n"
    "  --wait           waits for a controller to be plugged in (or to come back in boot mode)\n"
    "  --timeout S      how long --wait waits (default 300)\n"
    "  --debug          the updater's diagnostic lines on standard error\n";

struct Options {
  bool help = false;
  std::optional<std::string> package;
  bool yes = false;
  bool wait = false;
  std::uint32_t timeoutSeconds = kDefaultWaitSeconds;
  bool debug = false;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--yes") {
      options.yes = true;
    } else if (arg == "--wait") {
      options.wait = true;
    } else if (arg == "--debug") {
      options.debug = true;
    } else if (arg == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long seconds = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || seconds == 0 || seconds > 24 * 3600) return std::nullopt;
      options.timeoutSeconds = static_cast<std::uint32_t>(seconds);
    } else if (arg.rfind("--", 0) != 0 && !options.package) {
      options.package = arg;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

void Say(const std::string& line) { std::fprintf(stderr, "kestro-update: %s\n", line.c_str()); }

// --- Ctrl-C: during a transfer, a warning first and an abort on the second ----------------------

std::atomic<int> g_interrupts{0};
std::atomic<hidraw::HidrawPort*> g_port{nullptr};
std::atomic<StopSignal*> g_stop{nullptr};
std::atomic<const TerminalHost*> g_host{nullptr};
// The update has ended: what is left is to say so and exit with its status. A press now changes
// nothing (and the objects above are on their way out).
std::atomic<bool> g_updateOver{false};
std::string g_warning;
std::string g_aborting;

void OnInterrupt(int) {
  if (g_updateOver.load()) return;
  const TerminalHost* host = g_host.load();
  if (host == nullptr || !host->Transferring()) _exit(130);  // nothing is being written
  // Only async-signal-safe calls here: an atomic, write(2), the port's atomic flag and the stop's
  // eventfd.
  const int count = ++g_interrupts;
  if (count >= 2) {
    // Reads and writes fail from now on, and the pauses between them end at once.
    g_port.load()->Abort();
    g_stop.load()->Raise();
  }
  const std::string& text = count == 1 ? g_warning : g_aborting;
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) return;
}

void CatchInterrupts(hidraw::HidrawPort& port, StopSignal& stop, const TerminalHost& host) {
  g_port = &port;
  g_stop = &stop;
  g_host = &host;
  g_warning =
      "\nkestro-update: the controller is being written; stopping now leaves it without working "
      "firmware. Press Ctrl-C again to stop anyway.\n";
  g_aborting = "\nkestro-update: stopping the update\n";
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll wakes and sees the abort
  sigaction(SIGINT, &action, nullptr);
}

// --- the package, checked before anything is sent ------------------------------------------------

// One clear line when the file is no package at all, or cannot be read; nothing when it can be.
// Checked before anything else, so that a bad file is what the user hears of.
std::optional<std::string> PackageFileProblem(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return "cannot read " + path + ": " +
           (error ? error.message() : std::string("not a regular file"));
  }
  PackageFile file;
  if (!file.Open(FromUtf8(path))) {
    return "cannot read " + path + ": " + std::strerror(errno);
  }
  // A package starts with a whole header and its whole image.
  std::uint8_t head[kImageHeaderSize];
  std::size_t got = 0;
  const std::uint64_t length = file.Length();
  if (!file.ReadAt(0, head, sizeof head, got) || got != sizeof head ||
      kImageHeaderSize + std::uint64_t{ImageHeader::Parse(head).length} > length) {
    return path + " is not a firmware package";
  }
  return std::nullopt;
}

// One clear line when the package holds no image for the controller found.
std::optional<std::string> NoImageProblem(const std::string& path, std::uint16_t modelId,
                                          std::uint8_t variant) {
  PackageFile file;
  if (!file.Open(FromUtf8(path))) {
    return "cannot read " + path + ": " + std::strerror(errno);
  }
  if (!FindPackageImage(file, modelId, variant)) {
    char identity[64];
    std::snprintf(identity, sizeof identity, " (model 0x%04x, variant %u)", modelId, variant);
    return path + " holds no image for this controller" +
           (DeviceKind.load() == kDeviceKindBoot ? std::string(identity) : std::string());
  }
  return std::nullopt;
}

// --- the controller ------------------------------------------------------------------------------

enum class Found { kYes, kNone, kDenied };

// Searches, and with --wait keeps searching as udev reports devices coming and going.
Found FindController(CHid& hid, hidraw::HidrawPort& port, const Options& options,
                     Clock::time_point deadline) {
  std::optional<hidraw::HidrawMonitor> monitor;
  if (options.wait) monitor.emplace();
  for (;;) {
    if (hid.FindDevice()) return Found::kYes;
    for (const auto& denied : port.DeniedNodes()) {
      if (IsSupportedController(denied.attributes)) {
        char identity[16];
        std::snprintf(identity, sizeof identity, "%04x:%04x", denied.attributes.vendorId,
                      denied.attributes.productId);
        Say("no permission to open " + ToUtf8(denied.path) + " (controller " + identity +
            "); install the udev rule 70-kestro-controller.rules (README, \"Linux\") and plug the "
            "controller in again");
        return Found::kDenied;
      }
    }
    const auto now = Clock::now();
    if (!monitor || !monitor->Ready() || now >= deadline) return Found::kNone;
    monitor->WaitForChange(static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
  }
}

// How to connect a controller, or to bring it into boot mode.
void SayInstructions(const Texts& texts) {
  std::fprintf(stderr, "%s\n", ToUtf8(ForTerminal(texts.Text(kTextInstructions))).c_str());
}

// Why there is no controller to work with, and how to connect one.
int NoController(const std::string& why, const Texts& texts) {
  Say(why);
  SayInstructions(texts);
  return kExitNoController;
}

int Run(const Options& options) {
  const Texts texts(LocaleIsChinese());
  if (options.package) {
    if (const auto problem = PackageFileProblem(*options.package)) {
      Say(*problem);
      return kExitFailed;
    }
  }
  if (options.debug) {
    SetDiagnosticSink([](const std::wstring& line) {
      std::fputs(ToUtf8(line).c_str(), stderr);
      std::fflush(stderr);
    });
  }
  hidraw::HidrawPort port;
  CHid hid(port);
  UpdateContext context;
  context.ClearImageFields();
  StopSignal stop;
  TerminalHost host(texts, context, stop, options.yes);
  UpdateSession session{hid, context, host};
  BootUpdate boot(session);
  FramedUpdate framed(session, boot);

  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  for (;;) {
    switch (FindController(hid, port, options, deadline)) {
      case Found::kDenied:
        return kExitNoController;
      case Found::kNone:
        return NoController("no controller found", texts);
      case Found::kYes:
        break;
    }
    // As the dialog does at its start: the version query, then the transfer state at rest.
    deviceVersion = kVersionUnknown;
    framed.QueryDeviceVersion();
    updateState = kUpdateStateIdle;
    if (deviceVersion.load() != kVersionUnknown || hid.FindDevice()) break;
    // It went away during the query (restarting, say into boot mode): waited for again, or
    // told, rather than failing later at a node that is no longer there.
    if (!options.wait) return NoController("the controller went away", texts);
  }

  if (!options.package) {
    if (host.Title().empty()) {
      // The core tells of a controller without firmware and of a boot loader that does not
      // answer; the normal firmware's silence it leaves to the title, which is not shown here.
      if (deviceVersion.load() == kVersionUnknown && DeviceKind.load() != kDeviceKindBoot) {
        Say("the controller did not answer the version query");
      }
      return kExitFailed;
    }
    std::printf("%s\n", ToUtf8(host.Title()).c_str());
    return kExitDone;
  }
  // A boot loader that did not tell its model has been told of (the core's "Get gamepad info
  // error"): no image can be chosen for it.
  if (DeviceKind.load() == kDeviceKindBoot && context.modelConnection != hid.Connection()) {
    return kExitFailed;
  }
  if (const auto problem =
          NoImageProblem(*options.package, context.deviceModelId, context.deviceVariant)) {
    Say(*problem);
    return kExitFailed;
  }
  host.SetPackage(FromUtf8(std::filesystem::absolute(*options.package).string()));

  // As the update button does.
  if (!hid.OpenDevice()) {
    Say("cannot open the controller: " +
        std::string(std::strerror(static_cast<int>(hid.LastPortError()))));
    return kExitFailed;
  }
  stopFlag = 0;
  CatchInterrupts(port, stop, host);
  if (DeviceKind.load() == kDeviceKindBoot) {
    boot.RunBootUpdate();
  } else {
    framed.Usb_UpdateThread();
  }
  g_updateOver = true;
  if (g_interrupts.load() >= 2) SayInstructions(texts);
  return host.Succeeded() ? kExitDone : kExitFailed;
}

}  // namespace
}  // namespace kestro::cli

int main(int argc, char** argv) {
  const auto options = kestro::cli::ParseOptions(argc, argv);
  if (!options) {
    std::fputs(kestro::cli::kUsage, stderr);
    return kestro::cli::kExitUsage;
  }
  if (options->help) {
    std::fputs(kestro::cli::kUsage, stdout);
    return kestro::cli::kExitDone;
  }
  return kestro::cli::Run(*options);
}
