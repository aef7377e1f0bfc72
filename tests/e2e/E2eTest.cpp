// The real program under Wine: the shipped KestroUpdate.exe for its start-up state in both
// languages, and KestroUpdate-link.exe driven through whole updates against the emulated
// controller served over the device link. A Win32 UI driver plays the user; a debugger harness
// collects the program's diagnostic lines. Screenshots of the key states land in the artifacts
// directory.
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
#include "tests/e2e/WineSession.h"
#include "tools/linkserver/LinkServer.h"

namespace kestro::e2e {
namespace {

using link::LinkServer;
using sim::BootConfig;
using sim::BootController;
using sim::NormalConfig;
using sim::NormalController;

// Bounds of the waits; generous, since Wine starting a program takes seconds on a loaded machine.
constexpr std::uint32_t kStartMs = 30000;
constexpr std::uint32_t kDialogMs = 15000;
constexpr std::uint32_t kUpdateMs = 60000;
constexpr std::uint32_t kProgramEndMs = 15000;
// The program is ended after this long whatever happens; below the ctest time-out of a test.
constexpr std::uint32_t kProgramBoundS = 180;
// How long a box that must not come is waited for.
constexpr std::uint32_t kQuietMs = 1500;

const std::string kTitle = "Kestro Update v2.00";
const std::string kInterface = "kestro0";

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A developer without Wine gets skips; the full test run sets KESTRO_E2E_REQUIRED so that a
    // missing piece fails instead of passing unseen.
    const bool required = E2eRequired();
    if (!HaveWine()) {
      if (required) FAIL() << "wine, wineserver or Xvfb not installed";
      GTEST_SKIP() << "wine, wineserver or Xvfb not installed";
    }
    if (auto missing = MissingWindowsFile(
            {"KestroUpdate.exe", "KestroUpdate-link.exe", "uidriver.exe", "debugrun.exe"})) {
      if (required) FAIL() << *missing << " not built (cmake --build --preset windows)";
      GTEST_SKIP() << *missing << " not built (cmake --build --preset windows)";
    }
    ASSERT_TRUE(PreparePrefix(false)) << "cannot make the Wine prefix " << TestPaths().prefix;
    display_ = std::make_unique<VirtualDisplay>();
    ASSERT_TRUE(display_->Ready()) << "Xvfb did not start";
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : name_) {
      if (c == '/') c = '_';
    }
    logPath_ = TestPaths().artifacts + "/" + name_ + ".debug.log";
  }

  void TearDown() override {
    if (program_) {
      Driver({"close", "5000"});
      program_->Wait(kProgramEndMs);
      program_.reset();  // ends it if it is still running
    }
    if (display_ && display_->Ready()) KillWineServer();
    if (server_) server_->Stop();
    display_.reset();
  }

  Environment WineEnv() const {
    Environment environment = WineEnvironment();
    if (!wineDebug_.empty()) environment["WINEDEBUG"] = wineDebug_;
    environment["DISPLAY"] = display_->Name();
    environment["LANG"] = lang_;
    environment["LC_ALL"] = lang_;
    if (server_) environment["KESTRO_DEVICE_LINK"] = "127.0.0.1:" + std::to_string(server_->Port());
    return environment;
  }

  // The link server, started, with the given devices attached before the program starts.
  LinkServer& StartServer(std::shared_ptr<sim::Device> device = nullptr) {
    server_ = std::make_unique<LinkServer>();
    if (device) server_->Attach(kInterface, device);
    EXPECT_TRUE(server_->Start(0));
    return *server_;
  }

  void StartProgram(const std::string& exe) {
    std::string exePath = TestPaths().windowsBuildDir + "/" + exe;
    program_ = std::make_unique<Background>(
        std::vector<std::string>{"wine", TestPaths().windowsBuildDir + "/debugrun.exe", "--timeout",
                                 std::to_string(kProgramBoundS), WindowsPath(logPath_), WindowsPath(exePath)},
        WineEnv(), TestPaths().artifacts + "/" + name_ + ".wine.out");
    ASSERT_TRUE(program_->Started());
    if (server_) {
      ASSERT_TRUE(server_->WaitForClient(kStartMs)) << "program did not connect";
    }
  }

  static std::vector<std::string> DriverArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"wine", TestPaths().windowsBuildDir + "/uidriver.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  DriverResult Driver(const std::vector<std::string>& args, std::uint32_t timeoutMs = 120000) {
    RunResult run = e2e::Run(DriverArgv(args), WineEnv(), timeoutMs);
    return ParseDriverOutput(run.exitCode, run.output);
  }

  DriverResult WaitForDialog() {
    DriverResult state = Driver({"state", std::to_string(kStartMs)});
    EXPECT_EQ(state.exitCode, 0) << state.raw;
    return state;
  }

  void Screenshot(const std::string& what) {
    std::string file = TestPaths().artifacts + "/" + name_ + "." + what + ".png";
    RunResult shot =
        e2e::Run({"import", "-display", display_->Name(), "-window", "root", file}, {}, 30000);
    EXPECT_EQ(shot.exitCode, 0) << "screenshot " << file << ": " << shot.output;
  }

  // The diagnostic log once it holds `line` (it is written as the program runs).
  bool LogHasLine(const std::string& text, std::uint32_t timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      if (ReadFile(logPath_).find(text) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::string WritePackage(const std::vector<sim::PackageRecord>& records) {
    std::string path = TestPaths().artifacts + "/" + name_ + ".dat";
    EXPECT_TRUE(sim::WriteFileBytes(path, sim::BuildPackage(records)));
    return path;
  }

  // Press, pick the package, and answer the confirmation box; returns the box as seen.
  DriverResult PressAndConfirm(const std::string& package, const std::string& answer) {
    DriverResult press = Driver({"press", std::to_string(kDialogMs)});
    EXPECT_EQ(press.exitCode, 0) << press.raw;
    DriverResult file = Driver({"filedialog", WindowsPath(package), std::to_string(kDialogMs)});
    EXPECT_EQ(file.exitCode, 0) << file.raw;
    DriverResult box = Driver({"msgbox", std::to_string(kDialogMs), answer});
    EXPECT_EQ(box.exitCode, 0) << box.raw;
    return box;
  }

  // Watches the progress bar until a box appears, with a screenshot once it has moved.
  std::vector<int> WatchProgress() {
    std::string watchFile = TestPaths().artifacts + "/" + name_ + ".progress.out";
    Background watch(DriverArgv({"progress-watch", std::to_string(kUpdateMs)}), WineEnv(),
                     watchFile);
    bool shot = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kUpdateMs + kStartMs);
    while (!watch.Wait(100)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        watch.Kill();
        break;
      }
      const std::string position = ParseDriverOutput(0, ReadFile(watchFile)).Get("progress");
      if (!shot && !position.empty() && position != "0") {
        Screenshot("progress");
        shot = true;
      }
    }
    DriverResult watched = ParseDriverOutput(watch.Wait(0).value_or(-1), ReadFile(watchFile));
    EXPECT_EQ(watched.Get("progress_watch"), "box") << watched.raw;
    std::vector<int> positions;
    for (const std::string& value : watched.All("progress")) positions.push_back(std::stoi(value));
    return positions;
  }

  // Wine's own fixme that a window's hiding waited for a window manager that never answered.
  bool WaitedForAWindowManager() const {
    return ReadFile(TestPaths().artifacts + "/" + name_ + ".wine.out").find("wait timed out") !=
           std::string::npos;
  }

  std::string lang_ = "en_US.UTF-8";
  std::string wineDebug_;  // WINEDEBUG of the program, when not the quiet default
  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<LinkServer> server_;
  std::unique_ptr<Background> program_;
  std::string name_;
  std::string logPath_;
};

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
  lang_ = GetParam().lang;
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

sim::PackageRecord NormalRecord(std::size_t imageBytes) {
  sim::PackageRecord record;
  record.version = 123;  // offered as "New firmware 1.2"
  record.baseAddress = 0x08004000;
  record.image = sim::PatternImage(imageBytes, 7);
  return record;  // model 0, variant 0: what a normal-mode controller matches
}

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
    EXPECT_TRUE(LogHasLine(line)) << "no \"" << line << "\" in " << logPath_;
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
  wineDebug_ = "-all,fixme+event";
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
  EXPECT_EQ(program_->Wait(kProgramEndMs), std::optional<int>(0));
  program_.reset();
  EXPECT_FALSE(WaitedForAWindowManager());
}

TEST_F(E2eTest, TheShippedProgramClosesWithoutWaiting) {
  wineDebug_ = "-all,fixme+event";
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
  WaitForDialog();
  EXPECT_EQ(Driver({"close", "10000"}).exitCode, 0);
  EXPECT_EQ(program_->Wait(kProgramEndMs), std::optional<int>(0));
  program_.reset();
  EXPECT_FALSE(WaitedForAWindowManager());
}

// --- boot-mode controllers ---

TEST_F(E2eTest, WholeBootUpdateWritesTheFlash) {
  BootConfig config;  // version word 123: "(Fw v1.2)"
  auto controller = std::make_shared<BootController>(config);
  StartServer(controller);
  sim::PackageRecord other = NormalRecord(300);  // model 0: not for this controller
  sim::PackageRecord record;
  record.version = 150;
  record.beta = 2;
  record.baseAddress = 0x08004000;
  record.modelId = config.modelId;
  record.variant = config.variant;
  record.image = sim::PatternImage(1000, 11);
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
  config.faults.silentTo = sim::kBootGetInfo;
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

// `--prepare` makes a fresh Wine prefix for this test run (the ctest fixture that runs first);
// without it the tests run as usual and make the prefix themselves if it is missing.
int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--prepare") {
    if (!kestro::e2e::HaveWine()) {
      std::puts(kestro::e2e::E2eRequired() ? "wine not installed"
                                           : "wine not installed; the end-to-end tests will skip");
      return kestro::e2e::E2eRequired() ? 1 : 0;
    }
    bool made = kestro::e2e::PreparePrefix(true);
    std::printf("Wine prefix %s: %s\n", kestro::e2e::TestPaths().prefix.c_str(),
                made ? "ready" : "FAILED");
    return made ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
