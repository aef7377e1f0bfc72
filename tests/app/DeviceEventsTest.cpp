#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "tests/support/UpdateFixture.h"

namespace kestro {
namespace {

using testing::kTitle;
using testing::MakeRecord;
using testing::UpdateFixture;

const std::wstring kVersionTitle = kTitle + L"(GamePad V1.23)";
constexpr std::uint16_t kBootModel = 0x0102;
constexpr std::uint8_t kBootVariant = 3;

struct EventCase {
  std::uint32_t code;
  bool presentAfter;
  bool enabledAfter;
  bool titleReset;
  bool queried;
  bool removalLine;
};

class DeviceChangeTest : public UpdateFixture, public ::testing::WithParamInterface<EventCase> {};

TEST_P(DeviceChangeTest, ActsAsTheEventTableSays) {
  const EventCase c = GetParam();
  auto controller = AttachNormal();
  Start();
  // The state before the event: a version title and a button in the opposite state.
  dialog->SetWindowText(kVersionTitle);
  updateButton.EnableWindow(!c.enabledAfter);
  if (!c.presentAfter) env.port.Detach(L"pad");
  const std::uint32_t queriesBefore = controller->VersionQueries();

  EXPECT_EQ(env.system.Deliver(win::WM_DEVICECHANGE, c.code, 0), 1);

  EXPECT_EQ(ButtonEnabled(), c.enabledAfter);
  if (c.queried) {
    EXPECT_EQ(Title(), kVersionTitle);
    EXPECT_EQ(env.system.Titles().back(), kVersionTitle);
  } else {
    EXPECT_EQ(Title(), c.titleReset ? kTitle : kVersionTitle);
  }
  EXPECT_EQ(controller->VersionQueries() - queriesBefore, c.queried ? 1u : 0u);
  EXPECT_EQ(env.HasLine(kTitle), c.removalLine);
}

INSTANTIATE_TEST_SUITE_P(
    Events, DeviceChangeTest,
    ::testing::Values(
        // code, present, enabled, title reset, queried, diagnostic
        EventCase{win::DBT_DEVNODES_CHANGED, true, true, false, false, false},
        EventCase{win::DBT_DEVNODES_CHANGED, false, false, true, false, false},
        EventCase{win::DBT_DEVICEARRIVAL, true, true, false, true, false},
        EventCase{win::DBT_DEVICEREMOVECOMPLETE, false, false, true, false, true},
        EventCase{0x00018000, true, true, false, true, false}));  // only the low 16 bits count

TEST_F(UpdateFixture, ArrivalWithoutAControllerAndRemovalWithOneChangeNothing) {
  auto controller = AttachNormal();
  Start();
  dialog->SetWindowText(kVersionTitle);
  EXPECT_EQ(env.system.Deliver(win::WM_DEVICECHANGE, win::DBT_DEVICEREMOVECOMPLETE, 0), 1);
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_EQ(Title(), kVersionTitle);
  env.port.Detach(L"pad");
  updateButton.EnableWindow(false);
  EXPECT_EQ(env.system.Deliver(win::WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL, 0), 1);
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_EQ(Title(), kVersionTitle);
}

TEST_F(UpdateFixture, OtherEventCodesDoNoSearch) {
  AttachNormal();
  Start();
  const auto opensBefore = env.port.Written().size();
  const int searchesBefore = env.port.Enumerations();
  env.port.Detach(L"pad");
  EXPECT_EQ(env.system.Deliver(win::WM_DEVICECHANGE, 0x8001, 0), 1);
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_EQ(env.port.Enumerations(), searchesBefore);
  EXPECT_EQ(env.port.Written().size(), opensBefore);
}

TEST_F(UpdateFixture, PluggingInAgainQueriesTheVersionAndShowsIt) {
  Start();
  EXPECT_FALSE(ButtonEnabled());
  auto controller = AttachNormal();
  DeviceChange(win::DBT_DEVICEARRIVAL);
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_EQ(Title(), kVersionTitle);
  EXPECT_EQ(controller->VersionQueries(), 1u);
}

TEST_F(UpdateFixture, APressWhileTheControllerCannotBeOpenedOnlyHidesTheLabel) {
  AttachNormal();
  Start();
  successLabel.ShowWindow(win::SW_SHOW);
  env.port.SetOpenFails(L"pad", true);
  Press();
  EXPECT_TRUE(WaitForWorker());
  EXPECT_FALSE(SuccessVisible());
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_TRUE(env.system.FileDialogs().empty());
}

TEST_F(UpdateFixture, AWorkerThatCannotStartLeavesTheButtonDisabled) {
  AttachNormal();
  Start();
  env.system.failThreadStart = true;
  Press();
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_FALSE(dialog->WorkerRunning());
}

// A boot update is made only for a controller whose model the info exchange read: the one that
// answered, not one that came after it, nor a silent one (whose 0/0 would pick the normal
// firmware's record).
struct UnknownModelCase {
  const char* name;
  bool firstAnswers;    // a controller of another model answers at start, then goes
  bool removalMessage;  // its removal is announced before the next one arrives
};

class UnknownModelTest : public UpdateFixture,
                         public ::testing::WithParamInterface<UnknownModelCase> {};

TEST_P(UnknownModelTest, APressAfterAFailedInfoExchangeSendsNothingButTheInfoRequest) {
  const UnknownModelCase c = GetParam();
  sim::BootConfig silent;
  silent.faults.silentTo = sim::BOOT_GET_INFO;
  std::shared_ptr<sim::BootController> controller;
  if (c.firstAnswers) {
    sim::BootConfig other;
    other.modelId = kBootModel + 1;
    AttachBoot(other);
    Start();
    ASSERT_EQ(Title(), kTitle + L"(Fw v1.2)");
    env.port.Detach(L"boot");
    if (c.removalMessage) DeviceChange(win::DBT_DEVICEREMOVECOMPLETE);
    controller = AttachBoot(silent);
    DeviceChange(win::DBT_DEVICEARRIVAL);
  } else {
    controller = AttachBoot(silent);
    Start();
  }
  ASSERT_EQ(BoxTexts(), std::vector<std::wstring>{L"Get gamepad info error"});
  EXPECT_FALSE(ButtonEnabled());
  // A record for the earlier model first, and model 0/0 at the boot loader's own address.
  std::vector<sim::PackageRecord> records{MakeRecord(0, 0, 100, 3),
                                          MakeRecord(kBootModel, kBootVariant, 100, 7),
                                          MakeRecord(kBootModel + 1, 0, 100, 4)};
  records[0].baseAddress = 0x08000000;
  PickFile(WritePackage("p.dat", records));

  DeviceChange(win::DBT_DEVNODES_CHANGED);  // any device node: the button comes back
  ASSERT_TRUE(ButtonEnabled());
  RunUpdate();

  EXPECT_EQ(BoxTexts(),
            (std::vector<std::wstring>{L"Get gamepad info error", L"Get gamepad info error"}));
  EXPECT_EQ(env.system.MessageBoxes().back().caption, L"KestroUpdate");  // the program's name
  EXPECT_TRUE(env.system.FileDialogs().empty());
  for (const auto& frame : controller->Frames()) EXPECT_EQ(frame.command, sim::BOOT_GET_INFO);
  EXPECT_TRUE(controller->Flash().empty());
  EXPECT_FALSE(ButtonEnabled());
}

INSTANTIATE_TEST_SUITE_P(Controllers, UnknownModelTest,
                         ::testing::Values(UnknownModelCase{"silent_from_the_start", false, false},
                                           UnknownModelCase{"after_another_model", true, true},
                                           UnknownModelCase{"after_another_model_unannounced", true,
                                                            false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WorkerKindCase {
  bool boot;
};

class WorkerKindTest : public UpdateFixture,
                       public ::testing::WithParamInterface<WorkerKindCase> {};

TEST_P(WorkerKindTest, APressStartsTheWorkerOfTheControllersKind) {
  std::shared_ptr<sim::NormalController> normal;
  std::shared_ptr<sim::BootController> boot;
  if (GetParam().boot) {
    boot = AttachBoot();
  } else {
    normal = AttachNormal();
  }
  Start();
  env.system.onFileDialog = [&](const OpenFileRequest&, std::wstring&) {
    EXPECT_EQ(stopFlag.load(), 0u);
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(Progress(), 0);
    return false;
  };
  RunUpdate();
  if (GetParam().boot) {
    EXPECT_FALSE(env.HasLine(L"send() is OK!\n"));
  } else {
    EXPECT_TRUE(normal->UpdateRequested());
  }
  EXPECT_EQ(env.system.FileDialogs().size(), 1u);
  EXPECT_TRUE(ButtonEnabled());
}

INSTANTIATE_TEST_SUITE_P(Kinds, WorkerKindTest,
                         ::testing::Values(WorkerKindCase{false}, WorkerKindCase{true}));

// Holds the worker inside its file dialog until the test lets it go on.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_open; });
  }
  bool WaitForArrival() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_arrived; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_arrived = false;
  bool m_open = false;
};

// A worker held in its file dialog while the test acts; the dialog then picks `pick`, or is
// cancelled when there is none. A failed test still lets the worker go.
class HeldWorkerTest : public UpdateFixture {
 protected:
  void TearDown() override {
    gate.Open();
    UpdateFixture::TearDown();
  }
  void PressAndHold(std::optional<std::wstring> pick) {
    env.system.onFileDialog = [this, pick](const OpenFileRequest&, std::wstring& out) {
      gate.Arrive();
      if (!pick) return false;
      out = *pick;
      return true;
    };
    Press();
    ASSERT_TRUE(gate.WaitForArrival()) << "the worker never reached its file dialog";
  }

  Gate gate;
};

TEST_F(HeldWorkerTest, RemovalDuringAnUpdateResetsTheTitleAndTheWorkerEndsAsAFailure) {
  AttachNormal();
  const std::wstring path = WritePackage("p.dat", {MakeRecord(0, 0, 100, 2)});
  Start();
  ASSERT_NO_FATAL_FAILURE(PressAndHold(path));
  dialog->SetWindowText(kVersionTitle);
  env.port.Detach(L"pad");
  DeviceChange(win::DBT_DEVICEREMOVECOMPLETE);
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_EQ(Title(), kTitle);
  EXPECT_TRUE(env.HasLine(kTitle));
  gate.Open();
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(BoxTexts().back(), testing::kFailureBox);
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_FALSE(dialog->WorkerRunning());
}

TEST_F(HeldWorkerTest, TheWorkerFinishesTheProtocolItStartedWhateverASearchFinds) {
  auto normal = AttachNormal();
  const auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 100, 2)};
  const std::wstring path = WritePackage("p.dat", records);
  Start();
  // Searches, between the press and the worker's start and again while the worker is in its
  // file dialog, find only a boot-mode controller.
  auto boot = AttachBoot();
  env.system.beforeThreadStarts = [this] {
    env.port.SetOpenFails(L"pad", true);
    DeviceChange(win::DBT_DEVNODES_CHANGED);
    env.port.SetOpenFails(L"pad", false);
  };
  ASSERT_NO_FATAL_FAILURE(PressAndHold(path));
  env.port.SetOpenFails(L"pad", true);
  DeviceChange(win::DBT_DEVNODES_CHANGED);
  ASSERT_EQ(DeviceKind.load(), kDeviceKindBoot);
  env.port.SetOpenFails(L"pad", false);
  gate.Open();
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(normal->ReceivedImage(), records[0].image);
  EXPECT_TRUE(normal->Ended());
  EXPECT_EQ(BoxTexts().back(), testing::kSuccessBox);
}

struct DeferredArrivalCase {
  bool arrivalDuringUpdate;
  int versionQueriesAfter;
  std::wstring title;
};

class DeferredArrivalTest : public HeldWorkerTest,
                            public ::testing::WithParamInterface<DeferredArrivalCase> {};

// An arrival while a worker runs neither queries nor enables the button; its query comes once
// the worker has ended.
TEST_P(DeferredArrivalTest, AnArrivalDuringAnUpdateIsQueriedOnceTheWorkerEnds) {
  const DeferredArrivalCase c = GetParam();
  auto controller = AttachNormal();
  const auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 100, 2, 261, 2)};
  const std::wstring path = WritePackage("p.dat", records);
  Start();
  ASSERT_EQ(controller->VersionQueries(), 1u);
  ASSERT_NO_FATAL_FAILURE(PressAndHold(path));
  if (c.arrivalDuringUpdate) {
    DeviceChange(win::DBT_DEVICEARRIVAL);
    DeviceChange(win::DBT_DEVNODES_CHANGED);
  }
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_EQ(controller->VersionQueries(), 1u) << "no query while the worker runs";
  gate.Open();
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(controller->ReceivedImage(), records[0].image);
  EXPECT_TRUE(SawBox(testing::kSuccessBox));
  EXPECT_EQ(controller->VersionQueries(), static_cast<std::uint32_t>(c.versionQueriesAfter));
  EXPECT_EQ(Title(), c.title);
  EXPECT_TRUE(ButtonEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Arrivals, DeferredArrivalTest,
    ::testing::Values(
        // The controller runs its new firmware after the update: the title shows it.
        DeferredArrivalCase{true, 2, kTitle + L"(GamePad V2.61 beta2)"},
        DeferredArrivalCase{false, 1, kTitle}));

}  // namespace
}  // namespace kestro

namespace kestro {
namespace {

TEST_F(HeldWorkerTest, ClosingTheDialogWhileAWorkerRunsEndsTheProcess) {
  AttachNormal();
  Start();
  ASSERT_NO_FATAL_FAILURE(PressAndHold(std::nullopt));
  {
    // The headless system only records the end; the worker is released once it is recorded.
    CUpdateDlg* closing = dialog.get();
    closing->~CUpdateDlg();
    EXPECT_TRUE(env.system.processEnded);
    new (closing) CUpdateDlg(env.system, env.port);
  }
  gate.Open();
  EXPECT_TRUE(WaitForWorker());
}

}  // namespace
}  // namespace kestro
