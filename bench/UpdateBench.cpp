// kestro-bench: where the time of an update goes, natively. The real update code (CHid, the
// framed and the boot update) runs against an emulated controller through a benchmark port:
//   zero latency:  the controller answers at once and the protocols' pauses are skipped; host CPU
//                  time (the controller's own subtracted) and wall time per block;
//   frame clock:   a full-speed USB interrupt endpoint, in real time (each output report at the
//                  next 1 ms frame, its answer one frame later); whole update time against the
//                  protocol's minimum.
// Prints one line per measurement, `key=value` fields, for scripts/bench.sh. Nothing is asserted;
// an update that does not end well is reported as such and makes the exit status 1.
//
//   kestro-bench [--quick]     (--quick: the smallest sizes only)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchPorts.h"
#include "hid/Hid.h"
#include "platform/Diagnostics.h"
#include "res/TextTable.h"
#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "update/BootWire.h"
#include "update/FramedWire.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace kestro::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kBootModel = 0x0102;
constexpr std::uint8_t kBootVariant = 3;
constexpr std::uint32_t kBase = 0x08004000;
constexpr int kFrameMs = 1;
// BOOT_START is followed by a fixed second before its answer is read.
constexpr int kBootStartPauseMs = 1000;

// The front of an update that the user would confirm at once.
class BenchHost : public UpdateHost {
 public:
  BenchHost(std::wstring package, bool realTime)
      : m_package(std::move(package)), m_real(realTime) {}

  std::wstring Text(int index) override {
    const TextEntry* entry = FindText(index);
    return entry ? entry->english : std::wstring();
  }
  std::optional<std::wstring> ChoosePackage() override { return m_package; }
  bool ConfirmImage(const std::wstring&) override { return true; }
  void ShowVersion(const std::wstring&, bool) override {}
  void Tell(const std::wstring&, From) override {}
  void Finish(Outcome outcome, const std::wstring&, From) override { this->outcome = outcome; }
  void AllowUpdate(bool) override {}
  void AllowUpdateIfControllerFound() override {}
  void SetProgress(std::uint32_t, std::uint32_t, std::uint32_t) override {}
  // Without the frame clock the protocols' pauses are skipped: they are the controller's time.
  void Wait(std::uint32_t milliseconds) override {
    if (m_real) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    m_skippedMs += m_real ? 0 : milliseconds;
  }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          Clock::now().time_since_epoch())
                                          .count()) +
           m_skippedMs;
  }

  std::optional<Outcome> outcome;

 private:
  std::wstring m_package;
  bool m_real;
  std::uint64_t m_skippedMs = 0;
};

struct Result {
  bool succeeded = false;
  std::uint32_t blocks = 0;
  double wallMs = 0;
  double hostCpuMs = 0;
  double minimumMs = 0;  // the protocol's own time on the frame clock
};

std::string PackagePath() {
  return (std::filesystem::temp_directory_path() /
          ("kestro-bench-" + std::to_string(::getpid()) + ".dat"))
      .string();
}

Result RunUpdate(bool boot, bool frameClock, std::size_t imageBytes) {
  sim::PackageRecord record;
  record.version = 123;
  record.baseAddress = kBase;
  record.modelId = boot ? kBootModel : 0;
  record.variant = boot ? kBootVariant : 0;
  record.image = sim::PatternImage(imageBytes, 5);
  const std::string path = PackagePath();
  if (!sim::WriteFileBytes(path, sim::BuildPackage({record}))) return {};

  std::shared_ptr<sim::BootController> bootController;
  std::shared_ptr<sim::NormalController> normalController;
  std::shared_ptr<sim::Device> device;
  if (boot) {
    sim::BootConfig config;
    config.modelId = kBootModel;
    config.variant = kBootVariant;
    device = bootController = std::make_shared<sim::BootController>(config);
  } else {
    device = normalController = std::make_shared<sim::NormalController>();
  }
  std::unique_ptr<BenchPort> port;
  if (frameClock) {
    port = std::make_unique<FrameClockPort>(device);
  } else {
    port = std::make_unique<ZeroLatencyPort>(device);
  }

  CHid hid(*port);
  BenchHost host(std::filesystem::path(path).wstring(), frameClock);
  Updater updater(hid, host);

  // As the dialog does: the search, the version query, then the press.
  hid.FindDevice();
  updater.QueryDeviceVersion();
  updateState = kUpdateStateIdle;
  hid.OpenDevice();
  stopFlag = 0;

  const std::uint64_t deviceCpuBefore = port->DeviceCpuMicros();
  const std::uint64_t cpuBefore = ThreadCpuMicros();
  const Clock::time_point start = Clock::now();
  updater.Run(boot ? kDeviceKindBoot : kDeviceKindNormal);
  Result result;
  result.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const std::uint64_t deviceCpu = port->DeviceCpuMicros() - deviceCpuBefore;
  result.hostCpuMs = static_cast<double>(ThreadCpuMicros() - cpuBefore - deviceCpu) / 1000.0;
  std::filesystem::remove(path);

  const bool told = host.outcome == UpdateHost::Outcome::kSucceeded;
  if (boot) {
    result.blocks = static_cast<std::uint32_t>((imageBytes + kBootBlockSize - 1) / kBootBlockSize);
    result.succeeded = told && bootController->FlashRange(
                                   kBase, static_cast<std::uint32_t>(imageBytes)) == record.image;
    // BOOT_START's frame and its pause; each block, the version word and the finish: a frame out
    // and a frame for the answer.
    result.minimumMs = kBootStartPauseMs + kFrameMs * (1 + 2.0 * (result.blocks + 2));
  } else {
    result.blocks =
        static_cast<std::uint32_t>((imageBytes + framed::kBlockSize - 1) / framed::kBlockSize);
    result.succeeded = told && normalController->ReceivedImage() == record.image;
    // UPDATE_REQUEST and SET_FIRMWARE_INFO with their answers, each block with the next data
    // request, and the end command.
    result.minimumMs = kFrameMs * (2.0 * (2 + result.blocks) + 1);
  }
  return result;
}

}  // namespace
}  // namespace kestro::bench

int main(int argc, char** argv) {
  using namespace kestro::bench;
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 2 || (argc == 2 && !quick)) {
    std::fprintf(stderr, "usage: kestro-bench [--quick]\n");
    return 2;
  }
  kestro::SetDiagnosticSink([](const std::wstring&) {});  // formatted, as the program does
  bool allSucceeded = true;
  const std::vector<std::size_t> sizes =
      quick ? std::vector<std::size_t>{4096} : std::vector<std::size_t>{4096, 65536, 262144};
  for (bool boot : {false, true}) {
    for (std::size_t bytes : sizes) {
      const Result r = RunUpdate(boot, false, bytes);
      allSucceeded = allSucceeded && r.succeeded;
      std::printf(
          "mode=zero-latency protocol=%s kib=%zu blocks=%u ok=%d wall_us_per_block=%.2f "
          "host_cpu_us_per_block=%.2f\n",
          boot ? "boot" : "framed", bytes / 1024, r.blocks, r.succeeded ? 1 : 0,
          1000.0 * r.wallMs / r.blocks, 1000.0 * r.hostCpuMs / r.blocks);
    }
  }
  const std::size_t clocked = quick ? 4096 : 65536;
  for (bool boot : {false, true}) {
    const Result r = RunUpdate(boot, true, clocked);
    allSucceeded = allSucceeded && r.succeeded;
    std::printf(
        "mode=frame-clock protocol=%s kib=%zu blocks=%u ok=%d wall_ms=%.1f minimum_ms=%.1f "
        "ratio=%.4f\n",
        boot ? "boot" : "framed", clocked / 1024, r.blocks, r.succeeded ? 1 : 0, r.wallMs,
        r.minimumMs, r.wallMs / r.minimumMs);
  }
  std::fflush(stdout);
  return allSucceeded ? 0 : 1;
}
