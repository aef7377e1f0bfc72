// The shipped KestroUpdate.exe, unmodified, against the emulated controller behind a hidraw node,
// through Wine's own HID bus (winebus and its udev backend), as on a Linux desktop: the device
// path, the reports and the device notifications all come from Wine's stack over the node, with
// the kernel's ring of 63 reports per open file in front of Wine's queue of each handle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/e2e/winehidraw/WineHidrawFixture.h"
#include "update/BootUpdate.h"
#include "update/FramedUpdate.h"

namespace kestro::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using sim::BootConfig;
using sim::BootController;
using sim::NormalConfig;
using sim::NormalController;

const std::string kSucceeded = "\n Firmware upgraded! \n";
const std::string kFailed = "Firmware update failure\n";

// Wine's own notifications, from the udev events: the removal disables the button, the arrival of
// another controller (another node) shows its version.
TEST_F(WineHidrawTest, ReplugShowsTheNewControllersVersionFromWinesArrival) {
  const auto first = PlugIn(std::make_shared<NormalController>());
  ASSERT_TRUE(first);
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
  EXPECT_EQ(WaitForDialog().Get("enabled"), "1");
  m_bed.Unplug(*first);
  const DriverResult gone = Driver({"wait-enabled", "0", "20000"});
  EXPECT_EQ(gone.exitCode, 0) << gone.raw;

  NormalConfig config;
  config.version = 105 + (3u << 16);
  auto second = std::make_shared<NormalController>(config);
  ASSERT_TRUE(m_bed.Plug(second));  // a new node: winebus opens it as its "add" event comes
  const DriverResult title = Driver({"wait-title", kTitle + "(GamePad V1.05 beta3)", "20000"});
  EXPECT_EQ(title.exitCode, 0) << title.raw;
  EXPECT_EQ(Driver({"wait-enabled", "1", "5000"}).exitCode, 0);
  EXPECT_EQ(second->VersionQueries(), 1u);
  Screenshot("replugged");
}

// --- updates, whole or disturbed ---

enum class Ending {
  kSucceeds,          // the success box, the image exact
  kFails,             // the failure box, the update not completed
  kFailsWithoutFile,  // the failure box before any package was asked for, nothing of an update
};

struct UpdateRow {
  const char* name;
  bool boot;
  std::size_t imageBytes;
  int detachAtBlock;
  int noiseBurst;
  bool chinese;
  Ending ending;
};

void PrintTo(const UpdateRow& row, std::ostream* out) { *out << row.name; }

class WineHidrawUpdateTest : public WineHidrawTest,
                             public ::testing::WithParamInterface<UpdateRow> {};

// Each row starts the program with its controller in place: the button enabled and, for the boot
// loader, its version in the title (a normal-mode controller's start-up version title gives way to
// the plain one).
TEST_P(WineHidrawUpdateTest, FindsTheControllerThenEndsWithTheExactImageOrTheFailureBox) {
  const UpdateRow row = GetParam();
  if (row.chinese) m_lang = "zh_CN.UTF-8";
  // When the controller pulled itself out.
  auto detached = std::make_shared<std::atomic<Clock::rep>>(0);
  const auto log = [detached](const std::string& line) {
    if (line == "detached") *detached = Clock::now().time_since_epoch().count();
  };
  std::shared_ptr<NormalController> normal;
  std::shared_ptr<BootController> boot;
  sim::PackageRecord record;
  std::size_t blocks = 0;
  if (row.boot) {
    BootConfig config;
    config.faults.detachAtBlock = row.detachAtBlock;
    config.faults.noiseBurst = row.noiseBurst;
    boot = std::make_shared<BootController>(config);
    boot->SetEventLog(log);
    record = BootRecord(config, row.imageBytes);
    blocks = (row.imageBytes + 45) / 46;
  } else {
    NormalConfig config;
    config.faults.detachAtBlock = row.detachAtBlock;
    config.faults.noiseBurst = row.noiseBurst;
    normal = std::make_shared<NormalController>(config);
    normal->SetEventLog(log);
    record = NormalRecord(row.imageBytes);
    blocks = row.imageBytes / 32;
  }
  const std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartShipped(boot ? std::shared_ptr<sim::Device>(boot) : normal));
  const DriverResult start = WaitForDialog();
  EXPECT_EQ(start.Get("enabled"), "1");
  EXPECT_EQ(start.Get("title"), boot ? kTitle + "(Fw v1.2)" : kTitle);
  EXPECT_EQ(start.Get("button"), row.chinese ? "USB 升级" : "USB Update");
  if (normal) {
    EXPECT_EQ(normal->VersionQueries(), 1u);
  }
  Screenshot("start");

  if (row.ending == Ending::kFailsWithoutFile) {
    EXPECT_EQ(Driver({"press", std::to_string(kDialogMs)}).exitCode, 0);
  } else {
    const DriverResult offer = PressAndConfirm(package, "ok");
    EXPECT_EQ(offer.Get("text"), std::string(row.chinese ? "新固件" : "New firmware") +
                                     (boot ? " 1.5 beta2\n" : " 1.2\n"));
  }
  const auto confirmed = Clock::now();
  const DriverResult verdict = Driver({"msgbox", std::to_string(kUpdateMs), "none"});
  const auto seen = Clock::now();
  Screenshot("verdict");
  EXPECT_EQ(Driver({"msgbox", std::to_string(kDialogMs), "ok"}).exitCode, 0);
  RecordProperty("verdict", verdict.Get("text"));

  const bool completed = boot ? boot->Finished() : normal->Ended();
  if (row.ending == Ending::kSucceeds) {
    EXPECT_EQ(verdict.Get("text"), row.chinese ? "\n 升级成功。 \n" : kSucceeded);
    EXPECT_TRUE(completed);
    if (boot) {
      EXPECT_EQ(boot->FlashRange(record.baseAddress, static_cast<std::uint32_t>(row.imageBytes)),
                record.image);
      EXPECT_EQ(boot->VersionWord(), std::optional<std::uint32_t>(150 + 2 * 65536));
    } else {
      EXPECT_EQ(normal->ReceivedImage(), record.image);
    }
    EXPECT_EQ(Driver({"wait-state", "success_visible", "1", "10000"}).exitCode, 0);
    // winebus writes each of the program's reports to the node whole, report id 0 in front.
    for (const hidraw::testing::WrittenReport& write : m_node->Writes()) {
      ASSERT_EQ(write.bytes.size(), sim::kReportSize);
      ASSERT_EQ(write.bytes[0], 0);
    }
    Measured("ms_per_block", std::chrono::duration<double, std::milli>(seen - confirmed).count() /
                                 static_cast<double>(blocks));
  } else {
    EXPECT_EQ(verdict.Get("text"), kFailed);
    EXPECT_FALSE(completed);
  }
  if (row.ending == Ending::kFailsWithoutFile) {
    EXPECT_FALSE(normal->Announced());
    EXPECT_TRUE(normal->ReceivedImage().empty());
  }

  if (row.detachAtBlock >= 0) {
    // The removal ends the transfer at once: far sooner than the protocol's own bound for a
    // controller that stops answering.
    ASSERT_NE(detached->load(), 0);
    const Clock::time_point pulled{Clock::duration(detached->load())};
    EXPECT_LT(seen - pulled,
              std::chrono::milliseconds(row.boot ? kBootBlockBoundMs : kSilenceBoundMs));
    Measured("unplug_to_box_ms", std::chrono::duration<double, std::milli>(seen - pulled).count());
  }
  // The button follows the controller: gone after an unplug, usable again otherwise.
  const DriverResult state = Driver({"wait-enabled", row.detachAtBlock >= 0 ? "0" : "1", "20000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, WineHidrawUpdateTest,
    ::testing::Values(
        UpdateRow{"WholeFramed", false, 16 * 1024, -1, 0, false, Ending::kSucceeds},
        UpdateRow{"WholeBoot", true, 16 * 1024, -1, 0, false, Ending::kSucceeds},
        UpdateRow{"UnpluggedFramed", false, 4096, 20, 0, false, Ending::kFails},
        UpdateRow{"UnpluggedBoot", true, 4096, 20, 0, false, Ending::kFails},
        // Each answer comes behind 64 reports to ignore, all at once: the node's ring keeps 63 and
        // drops the newest, the answer among them. The framed controller's answer to the update
        // request is lost, so the transfer never starts; the boot loader's first acknowledgement.
        UpdateRow{"MoreThan63UnreadFramed", false, 4096, -1, 64, false, Ending::kFailsWithoutFile},
        UpdateRow{"MoreThan63UnreadBoot", true, 4096, -1, 64, false, Ending::kFails},
        // LANG and LC_ALL zh_CN.UTF-8: Wine's interface language 2052.
        UpdateRow{"ChineseFramed", false, 4096, -1, 0, true, Ending::kSucceeds}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
