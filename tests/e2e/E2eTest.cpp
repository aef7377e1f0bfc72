// The real program under Wine: the shipped KestroUpdate.exe for its start-up state in both
// languages, and KestroUpdate-link.exe driven through whole updates against the emulated
// controller served over the device link.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

using link::LinkServer;
using sim::BootConfig;
using sim::BootController;
using sim::NormalConfig;
using sim::NormalController;

// --- start-up of the shipped program, in both languages ---

struct LanguageCase {
  const char* name;
  const char* lang;
  const char* button;
  const char* instructionsStart;
};

void PrintTo(const LanguageCase& c, std::ostream* out) { *out << c.name; }

class ShippedStartTest : public E2eTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(ShippedStartTest, ShowsTitleTextsAndDisabledButtonWithoutController) {
  m_lang = GetParam().lang;
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
  DriverResult state = WaitForDialog();
  EXPECT_EQ(state.Get("title"), kTitle);
  EXPECT_EQ(state.Get("button"), GetParam().button);
  EXPECT_EQ(state.Get("enabled"), "0");
  EXPECT_EQ(state.Get("success_visible"), "0");
  EXPECT_EQ(state.Get("instructions").rfind(GetParam().instructionsStart, 0), 0u)
      << state.Get("instructions");
  EXPECT_EQ(state.Get("progress"), "0");
  Screenshot("start");
}

INSTANTIATE_TEST_SUITE_P(
    Languages, ShippedStartTest,
    ::testing::Values(LanguageCase{"English", "en_US.UTF-8", "USB Update",
                                   "1. Press and hold LB+RB, then plug in USB"},
                      LanguageCase{"Chinese", "zh_CN.UTF-8", "USB 升级", "1. 按住 LB+RB 开机"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- start-up of the link build with an emulated interface present ---

struct IdentityCase {
  const char* name;
  std::uint16_t vendorId, productId;
  bool enabled;
};

void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class LinkStartTest : public E2eTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(LinkStartTest, ButtonFollowsTheControllersIdentity) {
  NormalConfig config;
  config.vendorId = GetParam().vendorId;
  config.productId = GetParam().productId;
  auto controller = std::make_shared<NormalController>(config);
  StartServer(controller);
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  DriverResult state = WaitForDialog();
  EXPECT_EQ(state.Get("enabled"), GetParam().enabled ? "1" : "0");
  // A version title written during start-up is replaced by the plain title.
  EXPECT_EQ(state.Get("title"), kTitle);
  EXPECT_EQ(controller->VersionQueries() > 0, GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(Identities, LinkStartTest,
                         ::testing::Values(IdentityCase{"NormalMode", 0x3A7C, 0x5750, true},
                                           IdentityCase{"Unsupported", 0x0483, 0x3002, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- normal-mode updates ---

TEST_F(E2eTest, ArrivalAfterStartShowsTheVersionInTheTitle) {
  auto controller = std::make_shared<NormalController>();
  LinkServer& server = StartServer();
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  EXPECT_EQ(WaitForDialog().Get("enabled"), "0");
  server.Attach(kInterface, controller);
  server.Notify("arrival");
  DriverResult title = Driver({"wait-title", kTitle + "(GamePad V1.23)", "10000"});
  EXPECT_EQ(title.exitCode, 0) << title.raw;
  EXPECT_EQ(Driver({"wait-enabled", "1", "5000"}).exitCode, 0);
}

TEST_F(E2eTest, WholeNormalUpdateDeliversThePackageImage) {
  auto controller = std::make_shared<NormalController>();
  StartServer(controller);
  sim::PackageRecord record = NormalRecord(4096);
  std::string package = WritePackage({record});
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  WaitForDialog();

  DriverResult confirm = PressAndConfirm(package, "ok");
  EXPECT_EQ(confirm.Get("caption"), kTitle);
  EXPECT_EQ(confirm.Get("text"), "New firmware 1.2\n");
  EXPECT_EQ(confirm.Get("has_cancel"), "1");

  std::vector<int> positions = WatchProgress();
  ASSERT_FALSE(positions.empty());
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_EQ(positions.back(), 100);
  Screenshot("success-box");

  DriverResult success = Driver({"msgbox", std::to_string(kDialogMs), "ok"});
  EXPECT_EQ(success.Get("caption"), kTitle);
  EXPECT_EQ(success.Get("text"), "\n Firmware upgraded! \n");
  DriverResult state = Driver({"wait-state", "success_visible", "1", "10000"});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  EXPECT_EQ(state.Get("progress"), "0");
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
  Screenshot("success");

  EXPECT_TRUE(controller->Ended());
  EXPECT_EQ(controller->AnnouncedLength(), record.image.size());
  std::vector<std::uint8_t> received = controller->ReceivedImage();
  ASSERT_GE(received.size(), record.image.size());
  received.resize(record.image.size());
  EXPECT_EQ(received, record.image);
  for (const char* line : {"firmware type 1", "update successful", "Exit Usb_UpdateThread"}) {
    EXPECT_TRUE(LogHasLine(line)) << "no \"" << line << "\" in " << m_logPath;
  }
}

TEST_F(E2eTest, CancelInTheConfirmationSendsNothing) {
  auto controller = std::make_shared<NormalController>();
  StartServer(controller);
  std::string package = WritePackage({NormalRecord(1024)});
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  WaitForDialog();

  PressAndConfirm(package, "cancel");
  EXPECT_EQ(Driver({"no-msgbox", std::to_string(kQuietMs)}).exitCode, 0);
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
  EXPECT_FALSE(controller->Announced());
  EXPECT_TRUE(controller->ReceivedImage().empty());
  EXPECT_TRUE(LogHasLine("MessageBox == IDCANCEL"));
}

TEST_F(E2eTest, ControllerReportingFailureGivesTheFailureBox) {
  NormalConfig config;
  config.faults.failAtBlock = 3;
  auto controller = std::make_shared<NormalController>(config);
  StartServer(controller);
  std::string package = WritePackage({NormalRecord(2048)});
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  WaitForDialog();

  PressAndConfirm(package, "ok");
  DriverResult failure = Driver({"msgbox", std::to_string(kUpdateMs), "ok"});
  EXPECT_EQ(failure.Get("caption"), kTitle);
  EXPECT_EQ(failure.Get("text"), "Firmware update failure\n");
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
  EXPECT_EQ(Driver({"state"}).Get("success_visible"), "0");
  EXPECT_FALSE(controller->Ended());
}

// After the failure box is answered the button is back and the worker gone, and closing ends
// the process, without a hidden window waiting for a window manager (Wine waits 2 s for each
// managed window it hides when none runs; the test prefix makes every window unmanaged).
TEST_F(E2eTest, AnsweredBoxesAndClosingWaitForNothing) {
  m_wineDebug = "-all,fixme+event";
  NormalConfig config;
  config.faults.failAtBlock = 3;
  StartServer(std::make_shared<NormalController>(config));
  std::string package = WritePackage({NormalRecord(2048)});
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  WaitForDialog();
  PressAndConfirm(package, "ok");
  DriverResult failure = Driver({"msgbox", std::to_string(kUpdateMs), "ok"});
  EXPECT_EQ(failure.Get("text"), "Firmware update failure\n");
  EXPECT_EQ(Driver({"wait-enabled", "1", "10000"}).exitCode, 0);
  EXPECT_TRUE(LogHasLine("Exit Usb_UpdateThread"));
  EXPECT_EQ(Driver({"close", "10000"}).exitCode, 0);
  EXPECT_EQ(m_program->Wait(kProgramEndMs), std::optional<int>(0));
  m_program.reset();
  EXPECT_FALSE(WaitedForAWindowManager());
}

TEST_F(E2eTest, TheShippedProgramClosesWithoutWaiting) {
  m_wineDebug = "-all,fixme+event";
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
  WaitForDialog();
  EXPECT_EQ(Driver({"close", "10000"}).exitCode, 0);
  EXPECT_EQ(m_program->Wait(kProgramEndMs), std::optional<int>(0));
  m_program.reset();
  EXPECT_FALSE(WaitedForAWindowManager());
}

// --- boot-mode controllers ---

TEST_F(E2eTest, WholeBootUpdateWritesTheFlash) {
  BootConfig config;  // version word 123: "(Fw v1.2)"
  auto controller = std::make_shared<BootController>(config);
  StartServer(controller);
  sim::PackageRecord other = NormalRecord(300);  // model 0: not for this controller
  sim::PackageRecord record = BootRecord(config, 1000);
  std::string package = WritePackage({other, record});
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  DriverResult state = WaitForDialog();
  EXPECT_EQ(state.Get("title"), kTitle + "(Fw v1.2)");
  EXPECT_EQ(state.Get("enabled"), "1");

  DriverResult confirm = PressAndConfirm(package, "ok");
  EXPECT_EQ(confirm.Get("text"), "New firmware 1.5 beta2\n");
  std::vector<int> positions = WatchProgress();
  ASSERT_FALSE(positions.empty());
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_EQ(positions.back(), 100);
  DriverResult success = Driver({"msgbox", std::to_string(kDialogMs), "ok"});
  EXPECT_EQ(success.Get("text"), "\n Firmware upgraded! \n");
  EXPECT_EQ(Driver({"wait-state", "success_visible", "1", "10000"}).exitCode, 0);
  Screenshot("success");

  EXPECT_EQ(
      controller->FlashRange(record.baseAddress, static_cast<std::uint32_t>(record.image.size())),
      record.image);
  EXPECT_EQ(controller->BytesBeyondRange(), 0u);
  EXPECT_EQ(controller->VersionWord(), std::optional<std::uint32_t>(150 + 2 * 65536));
  EXPECT_TRUE(controller->Finished());
}

TEST_F(E2eTest, FailedBootInfoExchangeWarnsAndDisablesTheButton) {
  BootConfig config;
  config.faults.silentTo = sim::BOOT_GET_INFO;
  StartServer(std::make_shared<BootController>(config));
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate-link.exe"));
  DriverResult box = Driver({"msgbox", std::to_string(kStartMs), "none"});
  EXPECT_EQ(box.exitCode, 0) << box.raw;
  // No caption was given, so the box carries the program's name.
  EXPECT_EQ(box.Get("caption"), "KestroUpdate-link");
  EXPECT_EQ(box.Get("text"), "Get gamepad info error");
  Screenshot("info-error");
  EXPECT_EQ(Driver({"msgbox", std::to_string(kDialogMs), "ok"}).exitCode, 0);
  DriverResult state = WaitForDialog();
  EXPECT_EQ(state.Get("enabled"), "0");
  EXPECT_EQ(state.Get("title"), kTitle);
}

}  // namespace
}  // namespace kestro::e2e
