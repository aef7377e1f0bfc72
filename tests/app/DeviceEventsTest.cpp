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
  env.port.Detach(L"pad");
  EXPECT_EQ(env.system.Deliver(win::WM_DEVICECHANGE, 0x8001, 0), 1);
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_TRUE(dialog->Hid().DevicePresent());  // no new search has run
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
    dialog->Hid().FindDevice();
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
