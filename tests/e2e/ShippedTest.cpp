// The shipped KestroUpdate.exe, unmodified, against the emulated controller inside Wine's own HID
// stack (kestro-vhid.exe and its minidriver): the device path a user's Windows gives it, from the
// SetupAPI walk and the notifications the system sends to the overlapped reads and the bounded
// writes, including the system's own queue of 32 reports per handle and its removal of a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
  void StartShipped(std::shared_ptr<sim::Device> device = nullptr) {
    StartServer(std::move(device));
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
  }

  sim::PackageRecord BootRecord(const BootConfig& config, std::size_t imageBytes) {
    sim::PackageRecord record;
    record.version = 150;
    record.beta = 2;
    record.baseAddress = 0x08004000;
    record.modelId = config.modelId;
    record.variant = config.variant;
    record.image = sim::PatternImage(imageBytes, 11);
    return record;
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

class ShippedIdentityTest : public ShippedTest, public ::testing::WithParamInterface<IdentityCase> {};

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
  server_->Attach(kInterface, controller);  // no notify line: Windows sends the arrival
  ASSERT_TRUE(server_->Sync(kSyncMs));
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

// --- controllers that go wrong ---

struct UnplugCase {
  const char* name;
  bool boot;
};

void PrintTo(const UnplugCase& c, std::ostream* out) { *out << c.name; }

class ShippedUnplugTest : public ShippedTest, public ::testing::WithParamInterface<UnplugCase> {};

// Windows removes the device mid-transfer: the pending read fails, and so does everything after.
TEST_P(ShippedUnplugTest, UnpluggedDuringTheTransferEndsWithTheFailureBox) {
  const BootConfig bootConfig{.faults = {.detachAtBlock = 20}};
  std::shared_ptr<sim::Device> device;
  sim::PackageRecord record;
  if (GetParam().boot) {
    device = std::make_shared<BootController>(bootConfig);
    record = BootRecord(bootConfig, 4096);
  } else {
    device = std::make_shared<NormalController>(NormalConfig{.faults = {.detachAtBlock = 20}});
    record = NormalRecord(4096);
  }
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(device));
  WaitForDialog();
  const DriverResult verdict = UpdateAndAnswer(package, 0);
  EXPECT_EQ(verdict.Get("text"), "Firmware update failure\n");
  DriverResult state = Driver({"wait-enabled", "0", "10000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  EXPECT_EQ(state.Get("success_visible"), "0");
  EXPECT_EQ(state.Get("title"), kTitle);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ShippedUnplugTest,
                         ::testing::Values(UnplugCase{"Framed", false}, UnplugCase{"Boot", true}),
                         [](const auto& info) { return std::string(info.param.name); });

class ShippedStallTest : public ShippedTest, public ::testing::WithParamInterface<UnplugCase> {};

// The controller stops taking output reports mid-transfer. Wine's stack cannot cancel a write
// its minidriver holds, so the program's own bounds (the write's, then the cancellation's) are
// all that end the wait: the update ends with the failure box, and the window never hangs.
TEST_P(ShippedStallTest, AControllerThatStopsTakingReportsEndsWithTheFailureBox) {
  const BootConfig bootConfig{.faults = {.stallAtBlock = 10}};
  std::shared_ptr<sim::Device> device;
  sim::PackageRecord record;
  if (GetParam().boot) {
    device = std::make_shared<BootController>(bootConfig);
    record = BootRecord(bootConfig, 4096);
  } else {
    device = std::make_shared<NormalController>(NormalConfig{.faults = {.stallAtBlock = 10}});
    record = NormalRecord(4096);
  }
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(device));
  WaitForDialog();
  const DriverResult verdict = UpdateAndAnswer(package, 0);
  EXPECT_EQ(verdict.Get("text"), "Firmware update failure\n");
  // Still attached: the button comes back.
  DriverResult state = Driver({"wait-enabled", "1", "20000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  EXPECT_EQ(state.Get("success_visible"), "0");
}

INSTANTIATE_TEST_SUITE_P(Protocols, ShippedStallTest,
                         ::testing::Values(UnplugCase{"Framed", false}, UnplugCase{"Boot", true}),
                         [](const auto& info) { return std::string(info.param.name); });

class ShippedFloodTest : public ShippedTest, public ::testing::WithParamInterface<UnplugCase> {};

// Each answer comes behind 40 reports to ignore: more than a handle's queue of 32 holds, so
// Windows drops the oldest. The update completes with the exact image, or fails with the box.
TEST_P(ShippedFloodTest, MoreThan32UnreadReportsEndInAnExactImageOrTheFailureBox) {
  constexpr int kBurst = 40;
  const BootConfig bootConfig{.faults = {.noiseBurst = kBurst}};
  std::shared_ptr<BootController> boot;
  std::shared_ptr<NormalController> normal;
  sim::PackageRecord record;
  if (GetParam().boot) {
    boot = std::make_shared<BootController>(bootConfig);
    record = BootRecord(bootConfig, 2048);
  } else {
    normal = std::make_shared<NormalController>(NormalConfig{.faults = {.noiseBurst = kBurst}});
    record = NormalRecord(2048);
  }
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(boot ? std::shared_ptr<sim::Device>(boot) : normal));
  WaitForDialog();
  const DriverResult verdict = UpdateAndAnswer(package, 0);
  if (verdict.Get("text") == "\n Firmware upgraded! \n") {
    if (boot) {
      EXPECT_EQ(boot->FlashRange(record.baseAddress, 2048), record.image);
    } else {
      EXPECT_EQ(normal->ReceivedImage(), record.image);
    }
  } else {
    EXPECT_EQ(verdict.Get("text"), "Firmware update failure\n");
  }
  RecordProperty("verdict", verdict.Get("text"));
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ShippedFloodTest,
                         ::testing::Values(UnplugCase{"Framed", false}, UnplugCase{"Boot", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
