#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/UpdaterFixture.h"

namespace kestro {
namespace {

using testing::kFailureBox;
using testing::kSuccessBox;
using testing::kTitle;
using testing::MakeRecord;
using testing::UpdaterFixture;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> v;
  for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
  return v;
}

bool StartsWith(const std::vector<std::uint8_t>& payload, const std::vector<std::uint8_t>& head) {
  return payload.size() >= head.size() && std::equal(head.begin(), head.end(), payload.begin());
}

struct WholeCase {
  std::size_t length;
  bool followed;                        // another record stands behind the selected image
  bool secondRecord;                    // the selected image is the package's second record
  std::vector<std::uint32_t> progress;  // as the transfer reports it
};

class FramedWholeUpdateTest : public UpdaterFixture,
                              public ::testing::WithParamInterface<WholeCase> {};

TEST_P(FramedWholeUpdateTest, TheControllerReceivesExactlyTheSelectedImage) {
  const WholeCase c = GetParam();
  auto controller = AttachNormal();
  std::vector<sim::PackageRecord> records;
  if (c.secondRecord) records.push_back(MakeRecord(5, 1, 40, 99));
  records.push_back(MakeRecord(0, 0, c.length, 7));
  if (c.followed) records.push_back(MakeRecord(0, 1, 50, 13));
  const auto image = records[c.secondRecord ? 1 : 0].image;
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();

  EXPECT_EQ(controller->ReceivedImage(), image);
  EXPECT_FALSE(controller->ReceivedBeyondLength());
  EXPECT_TRUE(controller->Ended());
  EXPECT_EQ(controller->AnnouncedLength(), c.length);
  EXPECT_EQ(controller->AnnouncedBase(), 0x08004000u);
  EXPECT_EQ(controller->AnnouncedVersion(), 123u);
  const auto args = controller->AnnouncedInfoArgs();
  ASSERT_EQ(args.size(), 28u);
  for (std::size_t i = 12; i < 28; ++i) EXPECT_EQ(args[i], 0) << i;

  EXPECT_EQ(host.Texts(), (std::vector<std::wstring>{L"New firmware 1.2\n", kSuccessBox}));
  EXPECT_EQ(host.messages[1].from, From::kTitle);
  EXPECT_TRUE(Succeeded());
  EXPECT_EQ(host.outcomes, 1);
  EXPECT_EQ(host.progress, c.progress);
  EXPECT_TRUE(host.updateAllowed);
  EXPECT_FALSE(updater.Context().packageFile.IsOpen());
  EXPECT_TRUE(env.HasLine(L"Exit Usb_UpdateThread\n"));
  EXPECT_TRUE(env.HasLine(L"update successful\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, FramedWholeUpdateTest,
    ::testing::Values(WholeCase{1, false, false, {100}}, WholeCase{32, false, false, {100}},
                      WholeCase{64, false, false, {100}}, WholeCase{65, false, false, {98, 100}},
                      WholeCase{1, true, false, {100}}, WholeCase{33, true, false, {100}},
                      WholeCase{65, true, true, {98, 100}},
                      WholeCase{100, true, true, {64, 96, 100}}));

TEST_F(UpdaterFixture, ReportsTravelByteForByteAsTheProtocolDefines) {
  auto controller = AttachNormal();
  auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 33, 3, 261, 2)};
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  const auto out = controller->Outputs();
  ASSERT_GE(out.size(), 6u);
  EXPECT_TRUE(StartsWith(out[0], Bytes({0x05, 0x00, 0x16, 0x01, 0x00, 0x04})));  // version
  EXPECT_TRUE(StartsWith(out[1], Bytes({0x05, 0x00, 0x1A, 0x01, 0x00, 0x00})));  // update request
  EXPECT_TRUE(StartsWith(out[2], Bytes({0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00, 0x05, 0x01,
                                        0x02, 0x00, 0x00, 0x40, 0x00, 0x08, 33,   0,    0,    0})));
  auto first = Bytes({0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00});
  first.insert(first.end(), records[0].image.begin(), records[0].image.begin() + 32);
  EXPECT_TRUE(StartsWith(out[3], first));
  EXPECT_TRUE(
      StartsWith(out[4], Bytes({8, 0x00, 0x16, 4, 0x00, 0x00, 1, 0x00, records[0].image[32]})));
  EXPECT_TRUE(StartsWith(out.back(), Bytes({0x05, 0x00, 0x16, 0x01, 0x00, 0x02})));  // end
  EXPECT_EQ(host.Texts().front(), L"New firmware 2.6 beta2\n");
  EXPECT_TRUE(env.HasLine(L"desVersion is 131333\n"));
  EXPECT_TRUE(env.HasLine(L"firmware type 1\n"));
  EXPECT_TRUE(env.HasLine(L"update file is 0x21\n"));
  EXPECT_TRUE(env.HasLine(L"SendFirmwarePacket cmd 1\n"));
  EXPECT_TRUE(env.HasLine(L"WriteHid 39 btye sucessful\n"));
  EXPECT_TRUE(env.HasLine(L"\nSET_FIRMWARE_DATA read_pos 1 offset 0x21\n\n"));
  EXPECT_TRUE(env.HasLine(L"send() is OK!\n"));
  EXPECT_TRUE(env.HasLine(L"Bytes Sent: 1\n"));
}

TEST_F(UpdaterFixture, ALongDataPacketGoesOutIn39BytePieces) {
  auto controller = AttachNormal();
  Start();
  ASSERT_EQ(hid.OpenDevice(), 1);
  std::uint8_t data[50];
  for (int i = 0; i < 50; ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(updater.Framed().SendFirmwarePacket(SET_FIRMWARE_DATA, data, 50));
  const auto written = env.port.Written();
  ASSERT_GE(written.size(), 2u);
  const auto& a = written[written.size() - 2];
  const auto& b = written.back();
  EXPECT_EQ(a[1], 39);
  EXPECT_EQ(b[1], 57 - 39);
  EXPECT_EQ(Bytes({a[2], a[3], a[4], a[5], a[6], a[7], a[8]}),
            Bytes({0x00, 0x16, 53, 0x00, 0x00, 50, 0x00}));
  EXPECT_EQ(b[2], 39 - 7);  // the second piece goes on with the data
  EXPECT_EQ(env.CountLines(L"WriteHid 39 btye sucessful\n"), 1);
  EXPECT_EQ(env.CountLines(L"WriteHid 18 btye sucessful\n"), 1);
}

struct FirmwareTypeCase {
  std::uint32_t type;
  bool accepted;
};

class FirmwareTypeTest : public UpdaterFixture,
                         public ::testing::WithParamInterface<FirmwareTypeCase> {};

TEST_P(FirmwareTypeTest, OnlyTypes1And200StartTheSelection) {
  sim::NormalConfig config;
  config.firmwareType = GetParam().type;
  auto controller = AttachNormal(config);
  PickFile(WritePackage("p.dat", {MakeRecord(0, 0, 40, 1)}));
  Start();
  RunUpdate();
  if (GetParam().accepted) {
    EXPECT_EQ(controller->ReceivedImage().size(), 40u);
    EXPECT_TRUE(Told(kSuccessBox));
  } else {
    const std::wstring text = L"Firmware update failure, please handle work in BOOT mode\n";
    EXPECT_EQ(host.Texts(), std::vector<std::wstring>{text});
    EXPECT_TRUE(env.HasLine(text + L"\n"));
    EXPECT_TRUE(host.choices == 0);
    EXPECT_FALSE(controller->Announced());
  }
  EXPECT_TRUE(host.updateAllowed);
}

INSTANTIATE_TEST_SUITE_P(Types, FirmwareTypeTest,
                         ::testing::Values(FirmwareTypeCase{1, true}, FirmwareTypeCase{200, true},
                                           FirmwareTypeCase{0, false}, FirmwareTypeCase{2, false},
                                           FirmwareTypeCase{201, false}));

TEST_F(UpdaterFixture, NoPackageChosenSendsNothing) {
  auto controller = AttachNormal();
  Start();
  RunUpdate();
  EXPECT_EQ(host.choices, 1);
  EXPECT_EQ(host.outcome, Outcome::kNotMade);
  EXPECT_FALSE(controller->Announced());
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_TRUE(host.updateAllowed);
  EXPECT_EQ(stopFlag.load(), 1u);
}

TEST_F(UpdaterFixture, CancelInTheConfirmationSendsNothingButKeepsTheImageFacts) {
  auto controller = AttachNormal();
  PickFile(WritePackage("p.dat", {MakeRecord(3, 0, 10, 1), MakeRecord(0, 0, 70, 2, 150, 3)}));
  host.onOffer = [](const std::wstring&) { return false; };
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts(), std::vector<std::wstring>{L"New firmware 1.5 beta3\n"});
  EXPECT_TRUE(env.HasLine(L"MessageBox == IDCANCEL\n"));
  EXPECT_FALSE(controller->Announced());
  const UpdateContext& ctx = updater.Context();
  EXPECT_EQ(ctx.imageLength, 70u);
  EXPECT_EQ(ctx.imageDataOffset, 28u + 10 + 28);
  EXPECT_EQ(ctx.targetVersion, 150u);
  EXPECT_EQ(hid.ReadTimeout(), 200u);
  EXPECT_TRUE(host.updateAllowed);
}

struct UnusableCase {
  const char* name;
  std::function<std::vector<std::uint8_t>()> bytes;
};

class UnusablePackageTest : public UpdaterFixture,
                            public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusablePackageTest, IsRefusedWithoutConfirmationOrTransfer) {
  auto controller = AttachNormal();
  PickFile(packages.WriteBytes("p.dat", GetParam().bytes()));
  Start();
  RunUpdate();
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_FALSE(controller->Announced());
  EXPECT_TRUE(host.updateAllowed);
}

std::vector<std::uint8_t> Cut(std::vector<sim::PackageRecord> records, std::size_t drop) {
  auto bytes = sim::BuildPackage(records);
  bytes.resize(bytes.size() - drop);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Packages, UnusablePackageTest,
    ::testing::Values(
        UnusableCase{"empty_file", [] { return std::vector<std::uint8_t>{}; }},
        UnusableCase{"empty_image", [] { return sim::BuildPackage({MakeRecord(0, 0, 0, 1)}); }},
        UnusableCase{"image_past_end", [] { return Cut({MakeRecord(0, 0, 50, 1)}, 1); }},
        UnusableCase{"header_cut_short", [] { return Cut({MakeRecord(0, 0, 50, 1)}, 60); }},
        UnusableCase{"no_match", [] { return sim::BuildPackage({MakeRecord(1, 0, 50, 1)}); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterFixture, AMissingFileIsRefusedSilently) {
  auto controller = AttachNormal();
  PickFile(L"/nonexistent/p.dat");
  Start();
  RunUpdate();
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_EQ(updater.Context().packagePath, L"/nonexistent/p.dat");
}

struct ControllerFailureCase {
  std::uint8_t code;
  int block;
};

class ControllerFailureTest : public UpdaterFixture,
                              public ::testing::WithParamInterface<ControllerFailureCase> {};

TEST_P(ControllerFailureTest, EndsWithTheFailureBox) {
  sim::NormalConfig config;
  config.faults.failAtBlock = GetParam().block;
  config.faults.failCode = GetParam().code;
  auto controller = AttachNormal(config);
  PickFile(WritePackage("p.dat", {MakeRecord(0, 0, 200, 1)}));
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_EQ(host.messages.back().from, From::kTitle);
  EXPECT_EQ(host.outcome, Outcome::kFailed);
  EXPECT_FALSE(Succeeded());
  EXPECT_FALSE(updater.Context().packageFile.IsOpen());
  EXPECT_TRUE(host.updateAllowed);
  EXPECT_EQ(stopFlag.load(), 1u);
  EXPECT_FALSE(controller->Ended());
}

INSTANTIATE_TEST_SUITE_P(Codes, ControllerFailureTest,
                         ::testing::Values(ControllerFailureCase{21, 0},
                                           ControllerFailureCase{24, 0},
                                           ControllerFailureCase{21, 3},
                                           ControllerFailureCase{24, 6}));

TEST_F(UpdaterFixture, IgnoresReportsWithABadFirstByteOrUnknownTypes) {
  sim::NormalConfig config;
  config.faults.badFirstByte = true;
  config.faults.unknownTypes = true;
  auto controller = AttachNormal(config);
  auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 100, 4)};
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(controller->ReceivedImage(), records[0].image);
  EXPECT_TRUE(Told(kSuccessBox));
}

TEST_F(UpdaterFixture, ALateControllerStillGetsEveryBlockOnce) {
  sim::NormalConfig config;
  config.faults.answerDelayMs = 150;  // far beyond the 10 ms read time-out
  auto controller = AttachNormal(config);
  auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 130, 4)};
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(controller->ReceivedImage(), records[0].image);
  EXPECT_GT(controller->RecvFailed(), 10u);
  EXPECT_TRUE(Told(kSuccessBox));
}

// How long a controller that stops moving the update on is waited for, and from when.
struct BoundCase {
  const char* name;
  sim::NormalFaults faults;
  bool fromPress;         // measured from the press, else from the user's confirmation
  std::uint32_t boundMs;  // 0: the update completes
};

class UpdateBoundTest : public UpdaterFixture, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(UpdateBoundTest, EndsAtItsBoundOrCompletes) {
  const BoundCase c = GetParam();
  auto controller = AttachNormal({.faults = c.faults});
  const auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 200, 4)};
  PickFile(WritePackage("p.dat", records));
  Start();
  std::uint64_t confirmedAt = 0;
  host.onOffer = [&](const std::wstring&) {
    confirmedAt = env.clock.NowMs();
    return true;
  };
  const std::uint64_t pressedAt = env.clock.NowMs();
  RunUpdate();
  if (c.boundMs == 0) {
    EXPECT_EQ(controller->ReceivedImage(), records[0].image);
    EXPECT_EQ(host.Texts().back(), kSuccessBox);
    return;
  }
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_FALSE(Succeeded());
  const std::uint64_t failedAfter = env.clock.NowMs() - (c.fromPress ? pressedAt : confirmedAt);
  EXPECT_GE(failedAfter, c.boundMs);
  EXPECT_LT(failedAfter, c.boundMs + 100);
  EXPECT_TRUE(host.updateAllowed);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, UpdateBoundTest,
    ::testing::Values(
        // The first request may wait for an erase; the later ones may not.
        BoundCase{
            "silent_after_the_announcement", {.silentAfterAnnounce = true}, false, kEraseBoundMs},
        BoundCase{"erasing_for_12_s", {.firstRequestDelayMs = 12000}, false, 0},
        BoundCase{"silent_after_block_3", {.silentFromBlock = 3}, false, kSilenceBoundMs},
        // Reports the protocol ignores keep nothing going.
        BoundCase{"talking_only_noise", {.noiseOnly = true}, true, kSilenceBoundMs},
        BoundCase{"talking_noise_after_block_3", {.noiseFromBlock = 3}, false, kSilenceBoundMs}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterFixture, ASilentControllerBeforeUpdateInfoEndsAtTheBoundToo) {
  sim::NormalConfig config;
  config.faults.silent = true;
  AttachNormal(config);
  Start();
  const std::uint64_t pressed = env.clock.NowMs();
  RunUpdate();
  EXPECT_EQ(host.Texts(), std::vector<std::wstring>{kFailureBox});
  EXPECT_GE(env.clock.NowMs() - pressed, kSilenceBoundMs);
  EXPECT_TRUE(env.HasLine(L"recv() failed with error code 0x102\n"));
}

TEST_F(UpdaterFixture, AControllerUnpluggedDuringTheTransferEndsItAsAFailure) {
  sim::NormalConfig config;
  config.faults.detachAtBlock = 2;
  auto controller = AttachNormal(config);
  PickFile(WritePackage("p.dat", {MakeRecord(0, 0, 200, 4)}));
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_FALSE(host.updateAllowed);  // nothing is left to update
  EXPECT_FALSE(updater.Context().packageFile.IsOpen());
}

TEST_F(UpdaterFixture, APackageThatCannotBeOpenedAtTheFirstRequestEndsAsAFailure) {
  auto controller = AttachNormal();
  const std::wstring path = WritePackage("p.dat", {MakeRecord(0, 0, 100, 4)});
  PickFile(path);
  host.onOffer = [&](const std::wstring&) {
    std::filesystem::remove(std::filesystem::path(path));
    return true;
  };
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_TRUE(controller->ReceivedImage().empty());
}

TEST_F(UpdaterFixture, ABlockThatCannotBeWrittenIsNotCountedAndNothingFollowsIt) {
  // A controller that stops taking reports after the third block.
  auto inner = AttachNormal({.faults = {.stallAtBlock = 3}});
  PickFile(WritePackage("p.dat", {MakeRecord(0, 0, 200, 4)}));
  Start();
  RunUpdate();
  EXPECT_EQ(inner->ReceivedImage().size(), 96u);
  EXPECT_EQ(updater.Context().bytesSent, 96u);
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_TRUE(env.HasLine(L"WriteHid error\n"));
  EXPECT_FALSE(Succeeded());
}

TEST_F(UpdaterFixture, AnEndCommandThatCannotBeWrittenIsAFailure) {
  // The controller asks for the end command and takes nothing more, the end command included.
  auto inner = AttachNormal({.faults = {.stallAtBlock = 4}});
  const auto records = std::vector<sim::PackageRecord>{MakeRecord(0, 0, 100, 4)};
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(inner->ReceivedImage(), records[0].image);
  EXPECT_FALSE(inner->Ended());
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_FALSE(Told(kSuccessBox));
  EXPECT_FALSE(Succeeded());
}

TEST_F(UpdaterFixture, AnEndWithoutATransferIsNoSuccess) {
  // A controller that asks for data at once, before any image was chosen.
  auto device = std::make_shared<testing::ScriptedDevice>(
      0x3A7C, 0x5750, [](const sim::OutputReport& report, sim::DeviceHost& host) {
        if (report[3] == UPDATE_REQUEST) {
          sim::Payload reply;
          testing::FramedReply({0x00, 0x16, 0x01, 0x00, FIRMWARE_DATA_REQUEST}, reply);
          host.SendInput(reply, 0);
        }
      });
  env.port.AttachDevice(L"pad", device);
  Start();
  RunUpdate();
  const auto written = env.port.Written();
  EXPECT_TRUE(
      StartsWith(std::vector<std::uint8_t>(written.back().begin() + 1, written.back().end()),
                 Bytes({0x05, 0x00, 0x16, 0x01, 0x00, 0x02})));
  EXPECT_EQ(host.Texts(), std::vector<std::wstring>{kFailureBox});
  EXPECT_FALSE(Succeeded());
}

TEST_F(UpdaterFixture, AnUnwritableUpdateRequestEndsTheWorkerWithTheButtonDisabled) {
  AttachNormal();
  Start();
  env.port.SetWritesFail(L"pad", true);
  RunUpdate();
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_FALSE(host.updateAllowed);
  EXPECT_TRUE(env.HasLine(L"send() failed with error code 0\n"));
  EXPECT_FALSE(env.HasLine(L"Exit Usb_UpdateThread\n"));
}

struct VersionTitleCase {
  std::uint32_t version;
  std::wstring suffix;
};

class VersionReplyTest : public UpdaterFixture,
                         public ::testing::WithParamInterface<VersionTitleCase> {};

TEST_P(VersionReplyTest, ShowsTheVersionInTheTitle) {
  Start();
  const std::uint32_t v = GetParam().version;
  sim::Payload reply;
  testing::FramedReply({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, static_cast<std::uint8_t>(v),
                        static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                        static_cast<std::uint8_t>(v >> 24)},
                       reply);
  updater.Framed().HandleFramedReply(reply);
  EXPECT_EQ(Title(), kTitle + GetParam().suffix);
  EXPECT_EQ(deviceVersion.load(), v);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionReplyTest,
    ::testing::Values(VersionTitleCase{105 + (3u << 16), L"(GamePad V1.05 beta3)"},
                      VersionTitleCase{210, L"(GamePad V2.10)"},
                      VersionTitleCase{100 + (1u << 16), L"(GamePad V1.00 beta1)"},
                      VersionTitleCase{7, L"(GamePad V0.07)"}));

TEST_F(UpdaterFixture, AControllerWithoutFirmwareGetsTheInstructionsAndKeepsTheTitle) {
  sim::NormalConfig config;
  config.version = 0xFFFFFFFF;
  AttachNormal(config);
  Start();
  EXPECT_EQ(deviceVersion.load(), 0xFFFFFFFFu);
  ASSERT_EQ(host.Texts().size(), 1u);
  EXPECT_EQ(host.Texts()[0], testing::kEnglishInstructions);
  EXPECT_TRUE(host.versions.empty());
}

TEST_F(UpdaterFixture, ASilentControllerEndsTheVersionQueryAtItsBound) {
  sim::NormalConfig config;
  config.faults.silent = true;
  AttachNormal(config);
  const std::uint64_t before = env.clock.NowMs();
  Start();
  const std::uint64_t took = env.clock.NowMs() - before;
  EXPECT_GE(took, kVersionQueryBoundMs);
  EXPECT_LE(took, kVersionQueryBoundMs + 200);
  EXPECT_EQ(deviceVersion.load(), kVersionUnknown);
  EXPECT_TRUE(host.updateAllowed);
}

TEST_F(UpdaterFixture, AControllerUnpluggedDuringTheVersionQueryEndsItAtOnce) {
  auto device = std::make_shared<testing::ScriptedDevice>(
      0x3A7C, 0x5750, [](const sim::OutputReport& report, sim::DeviceHost& host) {
        if (report[6] == GET_DEVICE_VERSION) host.Detach();
      });
  env.port.AttachDevice(L"pad", device);
  const std::uint64_t before = env.clock.NowMs();
  Start();
  // Every read fails at once: the query counts them instead of spinning through its bound.
  EXPECT_EQ(env.CountLines(L"recv() failed with error code 0xffffffff\n"),
            static_cast<int>(kReadErrorBound));
  EXPECT_LT(env.clock.NowMs() - before, kVersionQueryBoundMs);
  EXPECT_EQ(deviceVersion.load(), kVersionUnknown);
  EXPECT_EQ(Title(), kTitle);
}

TEST_F(UpdaterFixture, AVersionReplyOfTheSentinelDoesNotEndTheQueryEarly) {
  sim::NormalConfig config;
  config.version = kVersionUnknown;
  AttachNormal(config);
  const std::uint64_t before = env.clock.NowMs();
  Start();
  EXPECT_GE(env.clock.NowMs() - before, kVersionQueryBoundMs);
}

}  // namespace
}  // namespace kestro
