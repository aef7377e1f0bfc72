#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/support/UpdateFixture.h"

namespace kestro {
namespace {

using testing::DialogFixture;
using testing::kEnglishInstructions;
using testing::kFailureBox;
using testing::kSuccessBox;
using testing::kTitle;
using testing::MakeRecord;
using testing::UpdateFixture;

class StartUpTest : public DialogFixture {};

TEST_F(StartUpTest, WithoutAControllerTheButtonIsDisabled) {
  Start();
  EXPECT_EQ(Title(), kTitle);
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_EQ(env.system.Control(IDC_UPDATE_BUTTON).text, L"USB Update");
  EXPECT_EQ(Progress(), 0);
  EXPECT_EQ(env.system.Control(IDC_PROGRESS).progressRange, 0x00640000);
  EXPECT_FALSE(SuccessVisible());
  EXPECT_EQ(env.system.Control(IDC_SUCCESS_LABEL).text, L"Firmware upgraded!");
  EXPECT_EQ(env.system.Control(IDC_INSTRUCTIONS).text, kEnglishInstructions);
  EXPECT_EQ(env.system.Dialog().icons,
            (std::vector<std::uintptr_t>{win::ICON_BIG, win::ICON_SMALL}));
  EXPECT_EQ(stopFlag.load(), 1u);
  EXPECT_EQ(updateState.load(), kUpdateStateIdle);
  EXPECT_EQ(deviceVersion.load(), kVersionUnknown);
  EXPECT_EQ(env.port.Registrations(), 1);
  EXPECT_EQ(env.port.RegisteredWindow(), dialog->m_hWnd);
}

TEST_F(StartUpTest, InChineseTheTextsAreChinese) {
  env.system.uiLanguage = 2052;
  Start();
  EXPECT_EQ(Title(), kTitle);
  EXPECT_EQ(env.system.Control(IDC_UPDATE_BUTTON).text, L"USB 升级");
  EXPECT_EQ(env.system.Control(IDC_SUCCESS_LABEL).text, L"升级成功。");
  EXPECT_EQ(env.system.Control(IDC_INSTRUCTIONS).text.rfind(L"1. 按住 LB+RB 开机", 0), 0u);
}

TEST_F(StartUpTest, WithANormalControllerTheButtonIsEnabledAndTheTitleIsPlain) {
  auto controller = std::make_shared<sim::NormalController>(sim::NormalConfig{});
  env.port.AttachDevice(L"pad", controller);
  Start();
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_EQ(controller->VersionQueries(), 1u);
  EXPECT_EQ(deviceVersion.load(), 123u);
  // The version title that the reply wrote is replaced at the end of initialisation.
  EXPECT_EQ(env.system.Titles().front(), kTitle + L"(GamePad V1.23)");
  EXPECT_EQ(Title(), kTitle);
}

TEST_F(StartUpTest, WithABootControllerTheVersionTitleStays) {
  sim::BootConfig config;
  config.version = 123;
  env.port.AttachDevice(L"boot", std::make_shared<sim::BootController>(config));
  Start();
  EXPECT_TRUE(ButtonEnabled());
  EXPECT_EQ(Title(), kTitle + L"(Fw v1.2)");
}

TEST_F(StartUpTest, ABootControllerWithoutAnswerDisablesTheButton) {
  sim::BootConfig config;
  config.faults.silentTo = 0xC0;
  env.port.AttachDevice(L"boot", std::make_shared<sim::BootController>(config));
  Start();
  EXPECT_FALSE(ButtonEnabled());
  EXPECT_EQ(Title(), kTitle);
  ASSERT_EQ(env.system.MessageBoxes().size(), 1u);
  EXPECT_EQ(env.system.MessageBoxes()[0].text, L"Get gamepad info error");
  EXPECT_FALSE(env.system.MessageBoxes()[0].hasCaption);
  EXPECT_EQ(env.system.MessageBoxes()[0].caption, L"KestroUpdate");
}

// What the dialog makes of an update's news: its boxes (text, caption, buttons), the success
// label, the progress bar and the button, exactly as the update's steps leave them.
struct NewsCase {
  const char* name;
  bool boot;
  bool pick;                 // a package is picked in the file dialog
  sim::NormalConfig normal;  // for a normal-mode controller
  std::vector<std::wstring> boxes;
  bool labelShown;
  std::vector<std::intptr_t> progress;  // from the start on
};

class UpdateNewsTest : public UpdateFixture, public ::testing::WithParamInterface<NewsCase> {};

TEST_P(UpdateNewsTest, BoxesLabelProgressAndButtonAreTheUpdates) {
  const NewsCase& c = GetParam();
  if (c.boot) {
    AttachBoot();
  } else {
    AttachNormal(c.normal);
  }
  const std::wstring path =
      WritePackage("p.dat", {MakeRecord(0, 0, 65, 1), MakeRecord(0x0102, 3, 47, 2)});
  if (c.pick) PickFile(path);
  Start();
  successLabel.ShowWindow(win::SW_SHOW);  // hidden again by the press
  RunUpdate();

  for (const OpenFileRequest& r : env.system.FileDialogs()) {
    EXPECT_EQ(r.filter, L"File type(*.dat)|*.dat||");
    EXPECT_EQ(r.defaultExtension, L"*.*");
    EXPECT_EQ(r.flags, 6u);
    EXPECT_EQ(r.initialDirectory, env.system.currentDirectory);
  }
  // Only a controller that accepts an update is asked for a package.
  const bool refused = c.normal.firmwareType != 1;
  EXPECT_EQ(env.system.FileDialogs().size(), refused ? 0u : 1u);
  EXPECT_EQ(BoxTexts(), c.boxes);
  for (const auto& box : env.system.MessageBoxes()) {
    const bool offer = box.text.rfind(L"New firmware", 0) == 0;
    EXPECT_EQ(box.type, offer ? win::MB_OKCANCEL : win::MB_OK) << box.text;
    EXPECT_TRUE(box.hasCaption);
    EXPECT_EQ(box.caption, kTitle);
  }
  EXPECT_EQ(SuccessVisible(), c.labelShown);
  EXPECT_EQ(env.system.ProgressPositions(), c.progress);
  EXPECT_TRUE(ButtonEnabled());
}

sim::NormalConfig FailingAt(int block) {
  sim::NormalConfig config;
  config.faults.failAtBlock = block;
  return config;
}
sim::NormalConfig OfFirmwareType(std::uint32_t type) {
  sim::NormalConfig config;
  config.firmwareType = type;
  return config;
}

INSTANTIATE_TEST_SUITE_P(
    Updates, UpdateNewsTest,
    ::testing::Values(NewsCase{"framed_success",
                               false,
                               true,
                               {},
                               {L"New firmware 1.2\n", kSuccessBox},
                               true,
                               {0, 0, 98, 100, 0}},
                      NewsCase{"boot_success",
                               true,
                               true,
                               {},
                               {L"New firmware 1.2\n", kSuccessBox},
                               true,
                               {0, 0, 0, 97, 100, 0}},
                      NewsCase{"controller_failure",
                               false,
                               true,
                               FailingAt(1),
                               {L"New firmware 1.2\n", kFailureBox},
                               false,
                               {0, 0}},
                      NewsCase{"needs_boot_mode",
                               false,
                               true,
                               OfFirmwareType(2),
                               {L"Firmware update failure, please handle work in BOOT mode\n"},
                               false,
                               {0, 0}},
                      NewsCase{"no_package", false, false, {}, {}, false, {0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct IconCase {
  int clientWidth;
  int expectedX;
};

class MinimisedPaintTest : public DialogFixture, public ::testing::WithParamInterface<IconCase> {};

TEST_P(MinimisedPaintTest, CentresTheIconTruncatingTowardZero) {
  Start();
  env.system.iconic = true;
  env.system.clientSize = {GetParam().clientWidth, 32};
  env.system.Deliver(win::WM_PAINT, 0, 0);
  ASSERT_EQ(env.system.drawnIcons.size(), 1u);
  EXPECT_EQ(env.system.drawnIcons[0].first, GetParam().expectedX);
  EXPECT_EQ(env.system.drawnIcons[0].second, 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, MinimisedPaintTest,
                         ::testing::Values(IconCase{37, 3}, IconCase{36, 2}, IconCase{0, -15}));

TEST_F(StartUpTest, NotMinimisedPaintsNoIconAndTheDragImageIsTheIcon) {
  Start();
  env.system.Deliver(win::WM_PAINT, 0, 0);
  EXPECT_TRUE(env.system.drawnIcons.empty());
  EXPECT_EQ(env.system.Deliver(win::WM_QUERYDRAGICON, 0, 0), 0x152);
}

}  // namespace
}  // namespace kestro
