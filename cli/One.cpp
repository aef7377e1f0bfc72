// One controller: the first found, or the one --device names. Without a package its version, as
// the Windows program's title shows it; with one, the update. Started by --all or --station for
// one controller (--child), it tells its parent in the lines of cli/ChildLines.h.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "cli/ChildLines.h"
#include "cli/Front.h"
#include "cli/Interrupts.h"
#include "cli/PackageCheck.h"
#include "cli/StopSignal.h"
#include "cli/System.h"
#include "cli/TerminalHost.h"
#include "hid/Hid.h"
#include "platform/Utf8.h"
#include "platform/console/Console.h"
#include "platform/record/RecordingPort.h"
#include "update/UpdateSession.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace kestro::cli {
namespace {

using Clock = std::chrono::steady_clock;

// What the program works with: the controller (through a recording port with --record), the
// front and the updater over them.
struct Session {
  Session(const Texts& texts, const Options& options)
      : systemPort(CreateControllerPort()),
        port(options.record ? std::make_unique<record::RecordingPort>(*systemPort, recorder)
                            : nullptr),
        hid(port ? *port : *systemPort),
        host(texts, stop, options.yes,
             options.child ? TerminalHost::Audience::kParent : TerminalHost::Audience::kPerson),
        updater(hid, host) {
    if (options.device) hid.LimitTo(FromUtf8(*options.device));
  }
  HidPort& Port() { return port ? *port : *systemPort; }
  // Once the controller is found: what the recording is of.
  void StartRecording(const std::optional<std::string>& package) {
    if (!recorder.IsOpen()) return;
    record::Header header;
    header.program = kProgramName;
    const HidAttributes ids = hid.DeviceAttributes();
    header.controller = {ToUtf8(hid.DevicePath()), ids.vendorId, ids.productId,
                         DeviceKind.load() == kDeviceKindBoot ? "boot" : "normal"};
    if (package) {
      std::error_code error;
      const auto size = std::filesystem::file_size(PathOf(*package), error);
      header.package = record::PackageFacts{ToUtf8(PathOf(*package).filename().wstring()),
                                            error ? 0 : static_cast<std::uint64_t>(size)};
    }
    recorder.Start(header);
  }

  record::Recorder recorder;
  std::unique_ptr<HidPort> systemPort;
  std::unique_ptr<record::RecordingPort> port;
  CHid hid;
  StopSignal stop;
  TerminalHost host;
  Updater updater;
};

enum class Found { kYes, kNone, kDenied };

// Searches, and with --wait keeps searching as controllers come and go.
Found FindController(Session& session, const Options& options, Clock::time_point deadline) {
  std::optional<ArrivalWatch> watch;
  if (options.wait) watch.emplace(session.Port());
  for (;;) {
    if (session.hid.FindDevice()) return Found::kYes;
    for (const DeniedInterface& denied : DeniedInterfaces(*session.systemPort)) {
      if (!IsSupportedController(denied.attributes)) continue;
      if (options.device && FromUtf8(*options.device) != denied.path) continue;
      char identity[16];
      std::snprintf(identity, sizeof identity, "%04x:%04x", denied.attributes.vendorId,
                    denied.attributes.productId);
      session.host.Say("no permission to open " + ToUtf8(denied.path) + " (controller " + identity +
                       "); " + PermissionAdvice());
      return Found::kDenied;
    }
    const auto now = Clock::now();
    if (!watch || now >= deadline) return Found::kNone;
    watch->WaitForChange(static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
  }
}

// Why there is no controller to work with, and how to connect one.
int NoController(Session& session, const std::string& why, const Options& options,
                 const Texts& texts) {
  session.host.Say(why);
  if (!options.child) SayInstructions(texts);
  return kExitNoController;
}

// Finds the controller and asks its version, as the dialog does at its start; with --wait, until
// one answers or the time is up. An exit status when there is none to work with.
std::optional<int> ConnectController(Session& session, const Options& options, const Texts& texts) {
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  for (;;) {
    switch (FindController(session, options, deadline)) {
      case Found::kDenied:
        return kExitNoController;
      case Found::kNone:
        return NoController(session,
                            options.device ? "no controller at " + *options.device
                                           : std::string("no controller found"),
                            options, texts);
      case Found::kYes:
        break;
    }
    session.StartRecording(options.package);
    // The version query, then the transfer state at rest.
    session.updater.QueryDeviceVersion();
    updateState = kUpdateStateIdle;
    if (deviceVersion.load() != kVersionUnknown || session.hid.FindDevice()) return std::nullopt;
    // It went away during the query (restarting, say into boot mode): waited for again, or
    // told, rather than failing later at a node that is no longer there.
    if (!options.wait) return NoController(session, "the controller went away", options, texts);
  }
}

std::string Hex32(std::uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", word);
  return text;
}

// For a parent: what was found.
void TellParentFound(const Session& session) {
  const HidAttributes ids = session.hid.DeviceAttributes();
  char identity[32];
  std::snprintf(identity, sizeof identity, "%04x %04x", ids.vendorId, ids.productId);
  const std::uint32_t version = deviceVersion.load();
  console::Out(child::Line(child::kFound,
                           std::string(DeviceKind.load() == kDeviceKindBoot ? "boot " : "normal ") +
                               identity + " " +
                               (version == kVersionUnknown ? "unknown" : Hex32(version))));
}

// Without a package: the version line, as the Windows program's title shows it.
int ShowVersion(Session& session) {
  const std::wstring& title = session.host.Title();
  if (title.empty()) {
    // The core tells of a controller without firmware and of a boot loader that does not
    // answer; the normal firmware's silence it leaves to the title, which is not shown here.
    if (deviceVersion.load() == kVersionUnknown && DeviceKind.load() != kDeviceKindBoot) {
      session.host.Say("the controller did not answer the version query");
    }
    return kExitFailed;
  }
  console::Out(ToUtf8(title) + "\n");
  session.recorder.Outcome("version", ToUtf8(title));
  return kExitDone;
}

// A parent asks its child to stop by a line on the child's standard input.
void FollowParent() {
  std::thread([] {
    std::string line;
    while (console::ReadLine(line)) {
      if (line == child::kAbort) interrupts::StopUpdate();
    }
  }).detach();
}

// The update of the controller found, with the package named.
int Update(Session& session, const Options& options, const Texts& texts) {
  const std::string& package = *options.package;
  const UpdateContext& context = session.updater.Context();
  const bool boot = DeviceKind.load() == kDeviceKindBoot;
  // A boot loader that did not tell its model has been told of (the core's "Get gamepad info
  // error"): no image can be chosen for it.
  if (boot && !session.updater.ModelKnown()) {
    if (options.child)
      session.host.Finish(UpdateHost::Outcome::kNotMade, L"", UpdateHost::From::kTitle);
    return kExitFailed;
  }
  const ImageFor found = FindImageFor(package, boot, context.deviceModelId, context.deviceVariant);
  if (!found.image) {
    session.host.Say(found.problem);
    if (options.child)
      session.host.Finish(UpdateHost::Outcome::kNotMade, L"", UpdateHost::From::kTitle);
    return kExitFailed;
  }
  const ImageHeader& image = found.image->header;
  const std::uint32_t target = image.VersionWord();
  session.recorder.Image(
      {found.image->record, image.modelId, image.variant, target, image.baseAddress, image.length});
  if (options.child) {
    console::Out(child::Line(child::kTarget, Hex32(target)));
    // A controller that runs the package's version already is left alone.
    if (options.skipCurrent && !boot && deviceVersion.load() == target) {
      console::Out(child::Line(child::kOutcome,
                               std::string(child::kCurrent) + " " + ToUtf8(session.host.Title())));
      return kExitDone;
    }
  }
  session.host.SetPackage(FullPath(package));

  // As the update button does.
  if (!session.hid.OpenDevice()) {
    session.host.Say("cannot open the controller: " + ErrorText(session.hid.LastPortError()));
    if (options.child)
      session.host.Finish(UpdateHost::Outcome::kNotMade, L"", UpdateHost::From::kTitle);
    return kExitFailed;
  }
  stopFlag = 0;
  interrupts::GuardUpdate(session.Port(), session.stop, session.host);
  if (options.child) FollowParent();
  session.updater.Run(static_cast<DeviceKindValue>(DeviceKind.load()));
  interrupts::EndUpdate();
  if (session.recorder.IsOpen()) {
    const auto outcome = session.host.Result();
    if (outcome != UpdateHost::Outcome::kSucceeded && !session.hid.FindDevice()) {
      session.recorder.Removed();
    }
    session.recorder.Outcome(outcome ? child::OutcomeWord(*outcome) : "not-made",
                             session.host.ResultText());
  }
  if (interrupts::Count() >= 2 && !options.child) SayInstructions(texts);
  return session.host.Result() == UpdateHost::Outcome::kSucceeded ? kExitDone : kExitFailed;
}

}  // namespace

void Say(const std::string& line) { console::Err("kestro-update: " + line + "\n"); }

void SayInstructions(const Texts& texts) {
  console::Err(ToUtf8(ForTerminal(texts.Text(kTextInstructions))) + "\n");
}

int RunOne(const Options& options, const Texts& texts) {
  if (options.package) {
    if (const auto problem = PackageFileProblem(*options.package)) {
      Say(*problem);
      return kExitFailed;
    }
  }
  Session session(texts, options);
  if (options.record && !session.recorder.Open(FullPath(*options.record))) {
    Say("cannot write the recording " + *options.record);
    return kExitFailed;
  }
  session.updater.Context().ClearImageFields();
  if (const auto status = ConnectController(session, options, texts)) return *status;
  if (options.child) TellParentFound(session);
  return options.package ? Update(session, options, texts) : ShowVersion(session);
}

}  // namespace kestro::cli
