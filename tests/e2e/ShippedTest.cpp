// The shipped KestroUpdate.exe, unmodified, against the emulated controller inside Wine's own HID
// stack (kestro-vhid.exe and its minidriver): the device path a user's Windows gives it, from the
// SetupAPI walk and the notifications the system sends to the overlapped reads and the bounded
// writes, including the system's own queue of 32 reports per handle and its removal of a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using sim::BootConfig;
using sim::BootController;
using sim::NormalConfig;
using sim::NormalController;

constexpr std::size_t kWholeImageBytes = 64 * 1024;

class ShippedTest : public E2eTest {
 protected:
  // The server, the bridge and the program, in that order: the controller (if any) is in
  // Wine's HID stack before the program's first search.
  void StartShipped(std::shared_ptr<sim::Device> device = nullptr, const std::string& folder = "") {
    StartServer(std::move(device));
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe", folder));
  }

  // Confirms the package, waits for the verdict box and answers it; the box as seen. The time
  // from the confirmation to the verdict, per block, is measured.
  DriverResult UpdateAndAnswer(const std::string& package, std::size_t blocks) {
    PressAndConfirm(package, "ok");
    const auto confirmed = Clock::now();
    DriverResult verdict = Driver({"msgbox", std::to_string(kUpdateMs), "none"});
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - confirmed).count();
    if (blocks > 0) Measured("ms_per_block", ms / static_cast<double>(blocks));
    Screenshot("verdict");
    EXPECT_EQ(Driver({"msgbox", std::to_string(kDialogMs), "ok"}).exitCode, 0);
    return verdict;
  }
};

// --- start-up, without a controller and with each identity ---

struct IdentityCase {
  const char* name;
  bool attached;
  std::uint16_t vendorId, productId;
  bool boot;
  bool enabled;
  const char* title;
};

void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class ShippedIdentityTest : public ShippedTest,
                            public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(ShippedIdentityTest, ButtonAndTitleFollowTheControllerWindowsFound) {
  const IdentityCase c = GetParam();
  std::shared_ptr<sim::Device> device;
  if (c.attached && c.boot) {
    BootConfig config;
    config.vendorId = c.vendorId;
    config.productId = c.productId;
    device = std::make_shared<BootController>(config);
  } else if (c.attached) {
    NormalConfig config;
    config.vendorId = c.vendorId;
    config.productId = c.productId;
    device = std::make_shared<NormalController>(config);
  }
  ASSERT_NO_FATAL_FAILURE(StartShipped(device));
  const DriverResult state = WaitForDialog();
  EXPECT_EQ(state.Get("enabled"), c.enabled ? "1" : "0");
  EXPECT_EQ(state.Get("title"), c.title);
  EXPECT_EQ(state.Get("success_visible"), "0");
  EXPECT_EQ(state.Get("progress"), "0");
  Screenshot("start");
}

INSTANTIATE_TEST_SUITE_P(
    Identities, ShippedIdentityTest,
    ::testing::Values(
        IdentityCase{"NoController", false, 0, 0, false, false, "Kestro Update v2.00"},
        // The start-up version title of a normal-mode controller gives way to the plain title.
        IdentityCase{"Normal3A7C", true, 0x3A7C, 0x5750, false, true, "Kestro Update v2.00"},
        IdentityCase{"Normal0483", true, 0x0483, 0x5750, false, true, "Kestro Update v2.00"},
        IdentityCase{"Boot", true, 0x3A7C, 0x3002, true, true, "Kestro Update v2.00(Fw v1.2)"},
        IdentityCase{"Unsupported", true, 0x0483, 0x3002, false, false, "Kestro Update v2.00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShippedTest, PluggingInAfterStartShowsTheVersionFromTheSystemsArrival) {
  ASSERT_NO_FATAL_FAILURE(StartShipped());
  EXPECT_EQ(WaitForDialog().Get("enabled"), "0");
  NormalConfig config;
  config.version = 105 + (3u << 16);
  auto controller = std::make_shared<NormalController>(config);
  m_server->Attach(kInterface, controller);  // no notify line: Windows sends the arrival
  ASSERT_TRUE(m_server->Sync(kSyncMs));
  DriverResult title = Driver({"wait-title", kTitle + "(GamePad V1.05 beta3)", "20000"});
  EXPECT_EQ(title.exitCode, 0) << title.raw;
  EXPECT_EQ(Driver({"wait-enabled", "1", "5000"}).exitCode, 0);
  EXPECT_EQ(controller->VersionQueries(), 1u);
  Screenshot("arrived");
}

// --- whole updates ---

TEST_F(ShippedTest, WholeNormalUpdateDeliversThePackageImageByteForByte) {
  auto controller = std::make_shared<NormalController>();
  const sim::PackageRecord record = NormalRecord(kWholeImageBytes);
  const std::string package = WritePackage({record, NormalRecord(100)});
  ASSERT_NO_FATAL_FAILURE(StartShipped(controller));
  WaitForDialog();
  const DriverResult verdict = UpdateAndAnswer(package, kWholeImageBytes / 32);
  EXPECT_EQ(verdict.Get("text"), "\n Firmware upgraded! \n");
  EXPECT_EQ(verdict.Get("caption"), kTitle);
  DriverResult state = Driver({"wait-state", "success_visible", "1", "10000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  EXPECT_EQ(state.Get("progress"), "0");
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
  EXPECT_TRUE(controller->Ended());
  EXPECT_EQ(controller->ReceivedImage(), record.image);
  EXPECT_TRUE(LogHasLine("Exit Usb_UpdateThread"));
}

TEST_F(ShippedTest, WholeBootUpdateWritesTheFlashByteForByte) {
  const BootConfig config;
  auto controller = std::make_shared<BootController>(config);
  const sim::PackageRecord record = BootRecord(config, kWholeImageBytes);
  const std::string package = WritePackage({NormalRecord(300), record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(controller));
  EXPECT_EQ(WaitForDialog().Get("title"), kTitle + "(Fw v1.2)");
  const DriverResult verdict = UpdateAndAnswer(package, (kWholeImageBytes + 45) / 46);
  EXPECT_EQ(verdict.Get("text"), "\n Firmware upgraded! \n");
  EXPECT_EQ(Driver({"wait-state", "success_visible", "1", "10000"}).exitCode, 0);
  EXPECT_EQ(controller->FlashRange(record.baseAddress, kWholeImageBytes), record.image);
  EXPECT_EQ(controller->BytesBeyondRange(), 0u);
  EXPECT_EQ(controller->VersionWord(), std::optional<std::uint32_t>(150 + 2 * 65536));
  EXPECT_TRUE(controller->Finished());
}

// --- what lies beside the program ---

// The program is run from Downloads, where a hid.dll was left beside it. Windows looks for a DLL
// that is no KnownDLL in the program's folder first, and so does Wine when it prefers a native
// hid.dll. The planted one must never run, and the update goes through the system's own.
TEST_F(ShippedTest, AHidDllPlantedBesideTheProgramNeverRuns) {
  namespace fs = std::filesystem;
  const std::string planted = TestPaths().windowsBuildDir + "/planted/hid.dll";
  const std::string downloads = Artifact("downloads");
  const std::string control = Artifact("control");
  for (const std::string& folder : {downloads, control}) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(planted, folder + "/hid.dll");
  }
  m_dllOverrides = "hid=n,b";  // the order Windows searches in for a DLL that is no KnownDLL

  auto controller = std::make_shared<NormalController>();
  const sim::PackageRecord record = NormalRecord(4096);
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(controller, downloads));
  EXPECT_EQ(WaitForDialog().Get("enabled"), "1");
  EXPECT_EQ(UpdateAndAnswer(package, 0).Get("text"), "\n Firmware upgraded! \n");
  EXPECT_EQ(controller->ReceivedImage(), record.image);
  EXPECT_FALSE(fs::exists(downloads + "/planted-hid-ran.txt"))
      << "the planted hid.dll ran in " << ReadFile(downloads + "/planted-hid-ran.txt");

  // The planting itself works: a program that imports hid.dll by name runs it as it starts
  // (the probe, asked nothing, only says how to use it).
  fs::copy_file(TestPaths().windowsBuildDir + "/vhid/vhid-probe.exe", control + "/vhid-probe.exe");
  const RunResult probe = e2e::Run({"wine", control + "/vhid-probe.exe"}, ProgramEnv(), kStartMs);
  EXPECT_TRUE(fs::exists(control + "/planted-hid-ran.txt")) << probe.output;
}

// --- controllers that go wrong ---

struct FaultCase {
  const char* name;
  bool boot;
  int detachAtBlock;
  int stallAtBlock;
  int noiseBurst;
  bool mayComplete;   // the update may still end well, then with the exact image
  bool presentAfter;  // the controller is still there: the button comes back
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ShippedFaultTest : public ShippedTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ShippedFaultTest, EndsWithTheExactImageOrTheFailureBox) {
  const FaultCase c = GetParam();
  constexpr std::size_t kImageBytes = 4096;
  std::shared_ptr<BootController> boot;
  std::shared_ptr<NormalController> normal;
  sim::PackageRecord record;
  if (c.boot) {
    BootConfig config;
    config.faults.detachAtBlock = c.detachAtBlock;
    config.faults.stallAtBlock = c.stallAtBlock;
    config.faults.noiseBurst = c.noiseBurst;
    boot = std::make_shared<BootController>(config);
    record = BootRecord(config, kImageBytes);
  } else {
    NormalConfig config;
    config.faults.detachAtBlock = c.detachAtBlock;
    config.faults.stallAtBlock = c.stallAtBlock;
    config.faults.noiseBurst = c.noiseBurst;
    normal = std::make_shared<NormalController>(config);
    record = NormalRecord(kImageBytes);
  }
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(boot ? std::shared_ptr<sim::Device>(boot) : normal));
  WaitForDialog();
  const DriverResult verdict = UpdateAndAnswer(package, 0);
  RecordProperty("verdict", verdict.Get("text"));
  if (c.mayComplete && verdict.Get("text") == "\n Firmware upgraded! \n") {
    if (boot) {
      EXPECT_EQ(boot->FlashRange(record.baseAddress, kImageBytes), record.image);
    } else {
      EXPECT_EQ(normal->ReceivedImage(), record.image);
    }
  } else {
    EXPECT_EQ(verdict.Get("text"), "Firmware update failure\n");
  }
  DriverResult state = Driver({"wait-enabled", c.presentAfter ? "1" : "0", "20000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  if (!c.presentAfter) {
    EXPECT_EQ(state.Get("title"), kTitle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, ShippedFaultTest,
    ::testing::Values(
        // Windows removes the device mid-transfer: the pending read fails, and all after it.
        FaultCase{"UnpluggedFramed", false, 20, -1, 0, false, false},
        FaultCase{"UnpluggedBoot", true, 20, -1, 0, false, false},
        // Writes the controller does not take: Wine's stack holds the program's WriteFile until
        // it gives up (cancelling cannot end it); the update ends with the failure box.
        FaultCase{"StopsTakingReportsFramed", false, -1, 10, 0, false, true},
        FaultCase{"StopsTakingReportsBoot", true, -1, 10, 0, false, true},
        // Each answer behind 40 reports to ignore: more than a handle's queue of 32 holds, so
        // Windows drops the oldest.
        FaultCase{"MoreThan32UnreadFramed", false, -1, -1, 40, true, true},
        FaultCase{"MoreThan32UnreadBoot", true, -1, -1, 40, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
