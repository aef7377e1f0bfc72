// A whole update, in either protocol, against an emulated controller whose side of the
// conversation the input disturbs: answers late, lost, repeated or drowned in noise, frames that
// never arrive, a controller that vanishes. On the virtual clock, through the Updater as a front
// runs it. What must hold: the update ends within its bounds, tells at most one outcome, leaves
// the package closed, and reports success only when the controller holds exactly the package's
// image.
//
// The boot loader is modelled as the protocol allows a host to rely on it: it answers its frames
// in order, at most once each, no later than 1.5 s. Against a controller that breaks that, no
// host can tell whose acknowledgement it reads.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/support/Environment.h"
#include "tests/support/RecordingHost.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace {

using namespace kestro;

constexpr std::uint16_t kModel = 0x0102;
constexpr std::uint8_t kVariant = 3;
constexpr std::uint32_t kBase = 0x08004000;
constexpr std::size_t kMaxImage = 700;
constexpr std::uint32_t kFramedLateStepMs = 25;  // up to 6.4 s: past the silence bound
constexpr std::uint32_t kBootLateStepMs = 6;     // up to 1.5 s: within the boot loader's model

// The input, a byte at a time; zeros once it is used up, and the controller then behaves.
class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint8_t Next() { return m_at < m_size ? m_data[m_at++] : 0; }
  std::size_t Size() const { return m_size; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

// Passes a controller's answers on, changed: later, several times, or not at all.
class AnswerFilter : public sim::DeviceHost {
 public:
  AnswerFilter(sim::DeviceHost& host, std::uint32_t extraDelayMs, int copies)
      : m_host(host), m_extraDelayMs(extraDelayMs), m_copies(copies) {}
  void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override {
    for (int i = 0; i < m_copies; ++i) m_host.SendInput(payload, delayMs + m_extraDelayMs);
  }
  void Detach() override { m_host.Detach(); }
  void StopTakingOutput() override { m_host.StopTakingOutput(); }
  std::uint64_t NowMs() override { return m_host.NowMs(); }

 private:
  sim::DeviceHost& m_host;
  std::uint32_t m_extraDelayMs;
  int m_copies;
};

class ScriptedController : public sim::Device {
 public:
  ScriptedController(std::shared_ptr<sim::Device> inner, Script& script, bool boot)
      : m_inner(std::move(inner)), m_script(script), m_boot(boot) {}
  std::uint16_t VendorId() const override { return m_inner->VendorId(); }
  std::uint16_t ProductId() const override { return m_inner->ProductId(); }

  // From the press on; the start-up query is left alone.
  bool armed = false;

  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    if (!armed || m_gone) {
      if (!m_gone) m_inner->OnOutput(report, host);
      return;
    }
    const std::uint8_t act = m_script.Next();
    switch (act % 8) {
      case 4: {
        const std::uint32_t step = m_boot ? kBootLateStepMs : kFramedLateStepMs;
        AnswerFilter late(host, m_script.Next() * step, 1);
        m_inner->OnOutput(report, late);
        return;
      }
      case 5:
        if (m_boot) return;  // the frame never reaches the boot loader
        host.SendInput(Noise(act), 0);
        m_inner->OnOutput(report, host);
        return;
      case 6: {
        // Answers lost; in the framed protocol, answers repeated instead (a boot loader answers
        // a frame once).
        AnswerFilter filter(host, 0, m_boot ? 0 : 2);
        m_inner->OnOutput(report, filter);
        return;
      }
      case 7:
        // Pulled out just after this report: the write of the next one fails. (A report whose
        // write succeeded has reached the controller; what it then does is its own.)
        m_inner->OnOutput(report, host);
        if (m_script.Next() < 24) {
          m_gone = true;
          host.Detach();
        }
        return;
      default:
        m_inner->OnOutput(report, host);
        return;
    }
  }

 private:
  // A report that neither protocol acts on.
  static sim::Payload& Noise(std::uint8_t seed) {
    static sim::Payload noise;
    for (std::size_t i = 0; i < sizeof noise; ++i) noise[i] = static_cast<std::uint8_t>(seed + i);
    noise[1] = 0x7E;  // not 0x00 (framed), not 5 in byte 1 (boot)
    return noise;
  }

  std::shared_ptr<sim::Device> m_inner;
  Script& m_script;
  bool m_boot;
  bool m_gone = false;
};

// The package lives in memory: rewriting a file on disk for every input costs more than the
// update itself (a truncate on a discarding file system waits for the device). The updater opens
// it by path like any other file.
class PackageStore {
 public:
  PackageStore() : m_fd(::memfd_create("kestro-update-fuzz.dat", MFD_CLOEXEC)) {
    if (m_fd < 0) {
      std::perror("memfd_create");
      std::abort();
    }
  }
  std::wstring Path() const { return L"/proc/self/fd/" + std::to_wstring(m_fd); }
  bool Write(const std::vector<std::uint8_t>& bytes) const {
    return ::ftruncate(m_fd, 0) == 0 &&
           ::pwrite(m_fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int m_fd;
};

const PackageStore& Package() {
  static const PackageStore store;
  return store;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  Script script(data, size);
  const std::uint8_t mode = script.Next();
  const bool boot = mode & 1;
  const bool decoyFirst = mode & 2;
  const bool followed = mode & 4;
  const std::size_t length = 1 + ((script.Next() | (script.Next() << 8)) % kMaxImage);
  const std::uint16_t version = script.Next();
  const std::uint16_t beta = script.Next() & 3;

  sim::PackageRecord record;
  record.modelId = boot ? kModel : 0;
  record.variant = boot ? kVariant : 0;
  record.version = version;
  record.beta = beta;
  record.baseAddress = kBase;
  record.image = sim::PatternImage(length, static_cast<std::uint32_t>(size));
  std::vector<sim::PackageRecord> records;
  if (decoyFirst) records.push_back({.modelId = 7, .image = sim::PatternImage(40, 1)});
  records.push_back(record);
  if (followed) records.push_back({.modelId = 7, .image = sim::PatternImage(90, 2)});
  if (!Package().Write(sim::BuildPackage(records))) return 0;

  testing::Environment env;
  // KESTRO_FUZZ_TRACE=1 shows what the updater and the controller did, to read a crash by.
  static const bool trace = std::getenv("KESTRO_FUZZ_TRACE") != nullptr;
  if (trace) {
    SetDiagnosticSink([](const std::wstring& line) { std::fprintf(stderr, "%ls", line.c_str()); });
  } else {
    SetDiagnosticSink(nullptr);
  }
  std::shared_ptr<sim::BootController> bootController;
  std::shared_ptr<sim::NormalController> normalController;
  std::shared_ptr<sim::Device> inner;
  if (boot) {
    bootController = std::make_shared<sim::BootController>(
        sim::BootConfig{.faults = {.busyForMs = ((mode >> 3) & 3) * 3000u}});
    inner = bootController;
  } else {
    normalController = std::make_shared<sim::NormalController>(
        sim::NormalConfig{.faults = {.firstRequestDelayMs = ((mode >> 3) & 3) * 12000u}});
    inner = normalController;
  }
  if (trace) {
    auto log = [](const std::string& line) {
      std::fprintf(stderr, "controller: %s\n", line.c_str());
    };
    if (boot) bootController->SetEventLog(log);
    if (!boot) normalController->SetEventLog(log);
  }
  auto controller = std::make_shared<ScriptedController>(inner, script, boot);
  env.port.AttachDevice(L"pad", controller);

  // As a front runs it: the search, the version query, then the update of the controller opened.
  CHid hid(env.port);
  testing::RecordingHost host(hid, env.clock);
  host.package = Package().Path();
  Updater updater(hid, host);
  updater.Context().ClearImageFields();
  if (!hid.FindDevice()) return 0;
  updater.QueryDeviceVersion();
  updateState = kUpdateStateIdle;
  if (!host.updateAllowed || !hid.OpenDevice()) return 0;  // nothing to update

  controller->armed = true;
  const std::uint64_t pressedAt = env.clock.NowMs();
  stopFlag = 0;
  updater.Run(boot ? kDeviceKindBoot : kDeviceKindNormal);
  const std::uint64_t took = env.clock.NowMs() - pressedAt;

  const std::uint64_t blocks = length / 32 + 2;
  const std::uint64_t bound =
      boot ? kBootStartBoundMs + 2000 + blocks * (kBootBlockBoundMs + 100) + 10000
           : (script.Size() + blocks + 10) * std::uint64_t{kEraseBoundMs};
  Check(took <= bound);

  Check(host.outcomes <= 1);
  Check(!updater.Context().packageFile.IsOpen());
  if (host.outcome == UpdateHost::Outcome::kSucceeded) {
    if (boot) {
      Check(bootController->FlashRange(kBase, static_cast<std::uint32_t>(length)) == record.image);
      Check(bootController->VersionWord() == (std::uint32_t{beta} << 16 | version));
    } else {
      Check(normalController->ReceivedImage() == record.image);
      Check(normalController->Ended());
    }
  }
  return 0;
}
