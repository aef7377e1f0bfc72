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

constexpr std::uint16_t kModel = 0x0102;
constexpr std::uint8_t kVariant = 3;
constexpr std::uint32_t kBase = 0x08004000;

class BootFixture : public UpdaterFixture {
 protected:
  std::vector<sim::PackageRecord> Records(std::size_t length, bool followed,
                                          std::uint16_t version = 123, std::uint16_t beta = 0) {
    std::vector<sim::PackageRecord> records{MakeRecord(9, 9, 30, 5),
                                            MakeRecord(kModel, kVariant, length, 7, version, beta)};
    if (followed) records.push_back(MakeRecord(kModel, kVariant + 1, 80, 11));
    return records;
  }
  std::vector<sim::BootFrame> FramesOf(const sim::BootController& c, std::uint16_t command) {
    std::vector<sim::BootFrame> out;
    for (const auto& f : c.Frames()) {
      if (f.command == command) out.push_back(f);
    }
    return out;
  }
};

struct BootWholeCase {
  std::size_t length;
  bool followed;
  std::vector<std::uint32_t> progress;  // from the loop's start to its end
};

class BootWholeUpdateTest : public BootFixture,
                            public ::testing::WithParamInterface<BootWholeCase> {};

TEST_P(BootWholeUpdateTest, FlashHoldsTheImageAndTheVersionWord) {
  const BootWholeCase c = GetParam();
  auto controller = AttachBoot();
  const auto records = Records(c.length, c.followed, 261, 2);
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();

  EXPECT_EQ(controller->FlashRange(kBase, static_cast<std::uint32_t>(c.length)), records[1].image);
  EXPECT_EQ(controller->Flash().size(), c.length);
  EXPECT_EQ(controller->BytesBeyondRange(), 0u);
  EXPECT_EQ(controller->VersionWord(), std::optional<std::uint32_t>(2u * 65536 + 261));
  EXPECT_TRUE(controller->Finished());
  for (const auto& f : FramesOf(*controller, BOOT_WRITE_IMAGE)) {
    EXPECT_EQ(f.totalLength, c.length);
    EXPECT_LE(f.dataLength, 46u);
    EXPECT_EQ(f.data.size(), f.dataLength);
  }
  const auto start = FramesOf(*controller, BOOT_START);
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start[0].address, kBase);
  EXPECT_EQ(start[0].totalLength, c.length);
  const auto param = FramesOf(*controller, BOOT_WRITE_PARAM);
  ASSERT_EQ(param.size(), 1u);
  EXPECT_EQ(param[0].address, kVersionParamAddress);
  EXPECT_EQ(param[0].dataLength, 4u);
  EXPECT_EQ(param[0].totalLength, 4u);

  EXPECT_EQ(host.Texts(), (std::vector<std::wstring>{L"New firmware 2.6 beta2\n", kSuccessBox}));
  EXPECT_EQ(host.messages[1].from, From::kTitle);
  EXPECT_TRUE(Succeeded());
  EXPECT_EQ(host.outcomes, 1);
  EXPECT_EQ(host.progress, c.progress);
  EXPECT_TRUE(host.updateAllowed);
  EXPECT_EQ(stopFlag.load(), 1u);
  EXPECT_EQ(hid.ReadTimeout(), 10u);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BootWholeUpdateTest,
    ::testing::Values(BootWholeCase{1, false, {0, 100}}, BootWholeCase{45, false, {0, 100}},
                      BootWholeCase{46, false, {0, 100}}, BootWholeCase{47, false, {0, 97, 100}},
                      BootWholeCase{92, false, {0, 50, 100}},
                      BootWholeCase{100, false, {0, 46, 92, 100}}, BootWholeCase{1, true, {0, 100}},
                      BootWholeCase{47, true, {0, 97, 100}},
                      BootWholeCase{100, true, {0, 46, 92, 100}}));

TEST_F(BootFixture, A92ByteImageGoesInTwoBlocksThenVersionThenFinish) {
  auto controller = AttachBoot();
  PickFile(WritePackage("p.dat", Records(92, false)));
  Start();
  RunUpdate();
  std::vector<std::pair<std::uint16_t, std::uint32_t>> sequence;
  for (const auto& f : controller->Frames()) {
    if (f.command != BOOT_GET_INFO) sequence.emplace_back(f.command, f.address);
  }
  EXPECT_EQ(sequence, (std::vector<std::pair<std::uint16_t, std::uint32_t>>{
                          {BOOT_START, kBase},
                          {BOOT_WRITE_IMAGE, kBase},
                          {BOOT_WRITE_IMAGE, kBase + 46},
                          {BOOT_WRITE_PARAM, kVersionParamAddress},
                          {BOOT_FINISH, 0}}));
}

TEST_F(BootFixture, ADataLengthAbove46IsCutBothInTheFieldAndTheBytes) {
  AttachBoot();
  Start();
  ASSERT_EQ(hid.OpenDevice(), 1);
  std::uint8_t data[60];
  for (int i = 0; i < 60; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
  const std::uint8_t filler[63] = {0};
  hid.WriteReport(filler, 63);
  updater.Boot().SendBootCommand(data, 60, 0x1234, 99, BOOT_WRITE_IMAGE);
  const auto report = env.port.Written().back();
  EXPECT_EQ(report[1], 5);
  EXPECT_EQ(ReadLe16(&report[2]), BOOT_WRITE_IMAGE);
  EXPECT_EQ(ReadLe32(&report[6]), 46u);
  EXPECT_EQ(ReadLe32(&report[10]), 99u);
  EXPECT_EQ(ReadLe32(&report[14]), 0x1234u);
  for (int i = 0; i < 46; ++i) EXPECT_EQ(report[18 + i], 0xA0 + i);
  EXPECT_EQ(report[64], 0);  // byte 63 of the payload: the earlier report's, not data[46]
}

TEST_F(BootFixture, TheFirstInfoRequestCarries44AndARepeatedOneZero) {
  sim::BootConfig config;
  config.faults.answerDelayMs = 250;  // past the first read's 200 ms
  auto controller = AttachBoot(config);
  Start();
  const auto info = FramesOf(*controller, BOOT_GET_INFO);
  ASSERT_GE(info.size(), 2u);
  EXPECT_EQ(info[0].dataLength, 44u);
  EXPECT_EQ(info[0].totalLength, 44u);
  EXPECT_EQ(info[1].dataLength, 0u);
  EXPECT_EQ(info[1].totalLength, 0u);
  EXPECT_EQ(Title(), kTitle + L"(Fw v1.2)");
}

TEST_F(BootFixture, AReplyThatIsNoAcknowledgementCausesNoResend) {
  sim::BootConfig config;
  config.faults.wrongStatusFor = BOOT_GET_INFO;
  auto controller = AttachBoot(config);
  Start();
  // Five reads: each refused reply is only counted, each empty read is followed by a resend,
  // whose refused reply the next read takes.
  EXPECT_EQ(FramesOf(*controller, BOOT_GET_INFO).size(), 3u);
  EXPECT_EQ(host.Texts(), std::vector<std::wstring>{L"Get gamepad info error"});
  EXPECT_FALSE(host.updateAllowed);
}

struct InfoTitleCase {
  std::uint32_t version;
  std::wstring title;
};

class BootTitleTest : public BootFixture, public ::testing::WithParamInterface<InfoTitleCase> {};

TEST_P(BootTitleTest, TheInfoExchangePutsTheVersionInTheTitle) {
  sim::BootConfig config;
  config.version = GetParam().version;
  AttachBoot(config);
  Start();
  EXPECT_EQ(Title(), GetParam().title);
  EXPECT_EQ(deviceVersion.load(), GetParam().version);
  EXPECT_EQ(updater.Context().deviceModelId, kModel);
  EXPECT_EQ(updater.Context().deviceVariant, kVariant);
}

INSTANTIATE_TEST_SUITE_P(Versions, BootTitleTest,
                         ::testing::Values(InfoTitleCase{123, kTitle + L"(Fw v1.2)"},
                                           InfoTitleCase{150 + 2 * 65536,
                                                         kTitle + L"(Fw v1.5 beta2)"},
                                           InfoTitleCase{0xFFFFFFFF, kTitle}));

TEST_F(BootFixture, AControllerWithoutFirmwareGetsTheInstructions) {
  sim::BootConfig config;
  config.version = 0xFFFFFFFF;
  AttachBoot(config);
  Start();
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text, testing::kEnglishInstructions);
  EXPECT_EQ(host.messages[0].from, From::kTitle);
  EXPECT_TRUE(host.versions.empty());
  EXPECT_TRUE(host.updateAllowed);
}

TEST_F(BootFixture, BusyAnswersRestartTheCountSoALongEraseSucceeds) {
  sim::BootConfig config;
  config.faults.busyForMs = 15000;  // longer than 20 plain tries take
  auto controller = AttachBoot(config);
  const auto records = Records(50, false);
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(controller->FlashRange(kBase, 50), records[1].image);
  EXPECT_TRUE(Told(kSuccessBox));
  EXPECT_GT(FramesOf(*controller, BOOT_START).size(), 21u);
}

TEST_F(BootFixture, ABusyAnswerForAnotherCommandDoesNotRestartTheCount) {
  sim::BootConfig config;
  config.faults.busyForMs = 15000;
  config.faults.busyAnswersForOtherCommand = BOOT_FINISH;
  auto controller = AttachBoot(config);
  PickFile(WritePackage("p.dat", Records(50, false)));
  Start();
  RunUpdate();
  EXPECT_EQ(FramesOf(*controller, BOOT_START).size(), 21u);  // 20 reads, 21 sends
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_TRUE(FramesOf(*controller, BOOT_WRITE_IMAGE).empty());
}

TEST_F(BootFixture, AControllerBusyForEverEndsAtTheStartBound) {
  sim::BootConfig config;
  config.faults.busyForMs = 0xFFFFFFFF;
  AttachBoot(config);
  PickFile(WritePackage("p.dat", Records(50, false)));
  Start();
  std::uint64_t confirmedAt = 0;
  host.onOffer = [&](const std::wstring&) {
    confirmedAt = env.clock.NowMs();
    return true;
  };
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  const auto took = env.clock.NowMs() - confirmedAt;
  EXPECT_GE(took, kBootStartBoundMs);
  EXPECT_LT(took, kBootStartBoundMs + 1000);
}

TEST_F(BootFixture, ALostAcknowledgementResendsTheSameBlockAndFlashStaysRight) {
  sim::BootConfig config;
  config.faults.lostAckBlock = 1;
  auto controller = AttachBoot(config);
  const auto records = Records(140, true);
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  const auto blocks = FramesOf(*controller, BOOT_WRITE_IMAGE);
  ASSERT_EQ(blocks.size(), 5u);  // 4 blocks, the second twice
  EXPECT_EQ(blocks[1].address, blocks[2].address);
  EXPECT_EQ(blocks[1].data, blocks[2].data);
  EXPECT_FALSE(controller->FlashRewrittenDifferently());
  EXPECT_EQ(controller->FlashRange(kBase, 140), records[1].image);
  EXPECT_TRUE(Told(kSuccessBox));
}

// A block acknowledged late, with or without the block after it lost on the way. Every
// acknowledgement looks the same: one owed to an earlier frame must never cover a later block.
struct LateAckCase {
  std::uint32_t lateMs;
  bool nextBlockLost;
  bool completes;  // a block that stays unanswered past all its resends fails the update
};

class BootLateAckTest : public BootFixture, public ::testing::WithParamInterface<LateAckCase> {};

TEST_P(BootLateAckTest, NeverReportsSuccessWithAFlashThatDiffers) {
  const LateAckCase c = GetParam();
  sim::BootConfig config;
  config.faults.lateAckBlock = 1;
  config.faults.lateAckMs = c.lateMs;
  if (c.nextBlockLost) config.faults.lostBlock = 2;
  auto controller = AttachBoot(config);
  const std::size_t length = 46 * 4 + 20;
  const auto records = Records(length, true);
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), c.completes ? kSuccessBox : kFailureBox);
  if (host.Texts().back() == kSuccessBox) {
    EXPECT_EQ(controller->FlashRange(kBase, static_cast<std::uint32_t>(length)), records[1].image)
        << "success reported, but the flash differs from the image";
  }
  EXPECT_FALSE(controller->FlashRewrittenDifferently());
  EXPECT_EQ(controller->BytesBeyondRange(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Delays, BootLateAckTest,
    ::testing::Values(LateAckCase{150, false, true}, LateAckCase{150, true, true},
                      LateAckCase{250, false, true}, LateAckCase{250, true, true},
                      LateAckCase{600, false, true}, LateAckCase{600, true, true},
                      LateAckCase{1500, false, false}, LateAckCase{1500, true, false}),
    [](const auto& info) {
      return std::to_string(info.param.lateMs) + "ms" +
             (info.param.nextBlockLost ? "_next_lost" : "");
    });

struct BootFailureCase {
  const char* name;
  int silentTo;
  int wrongCodeFor;
  int detachAtBlock;
  bool success;
  bool imageWritten;
};

class BootFailureTest : public BootFixture,
                        public ::testing::WithParamInterface<BootFailureCase> {};

TEST_P(BootFailureTest, EndsAsTheFailureTableSays) {
  const BootFailureCase c = GetParam();
  sim::BootConfig config;
  config.faults.silentTo = c.silentTo;
  config.faults.wrongCodeFor = c.wrongCodeFor;
  config.faults.detachAtBlock = c.detachAtBlock;
  auto controller = AttachBoot(config);
  const auto records = Records(100, true);
  PickFile(WritePackage("p.dat", records));
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), c.success ? kSuccessBox : kFailureBox);
  EXPECT_EQ(Succeeded(), c.success);
  EXPECT_FALSE(updater.Context().packageFile.IsOpen());
  EXPECT_EQ(controller->FlashRange(kBase, 100) == records[1].image, c.imageWritten);
  EXPECT_EQ(host.outcome, c.success ? Outcome::kSucceeded : Outcome::kFailed);
  const std::size_t blockFrames = FramesOf(*controller, BOOT_WRITE_IMAGE).size();
  EXPECT_LE(blockFrames, 3u * (1 + kBootBlockResends)) << "resends are bounded";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BootFailureTest,
    ::testing::Values(
        BootFailureCase{"start_never_acknowledged", BOOT_START, -1, -1, false, false},
        BootFailureCase{"block_never_acknowledged", BOOT_WRITE_IMAGE, -1, -1, false, false},
        BootFailureCase{"block_acknowledged_with_another_code", -1, BOOT_WRITE_IMAGE, -1, false,
                        false},
        BootFailureCase{"version_word_not_acknowledged", BOOT_WRITE_PARAM, -1, -1, false, true},
        BootFailureCase{"finish_not_acknowledged", BOOT_FINISH, -1, -1, true, true},
        BootFailureCase{"unplugged_mid_image", -1, -1, 1, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootFixture, StartWithoutAnyAnswerGivesUpAfter20ReadsAnd21Sends) {
  sim::BootConfig config;
  config.faults.silentTo = BOOT_START;
  auto controller = AttachBoot(config);
  PickFile(WritePackage("p.dat", Records(10, false)));
  Start();
  RunUpdate();
  EXPECT_EQ(FramesOf(*controller, BOOT_START).size(), 21u);
  EXPECT_TRUE(host.progress.empty());  // the bar stays where the press left it
  EXPECT_TRUE(host.updateAllowed);
}

TEST_F(BootFixture, APackageThatCannotBeOpenedForTheTransferIsAFailure) {
  auto controller = AttachBoot();
  const std::wstring path = WritePackage("p.dat", Records(60, false));
  PickFile(path);
  host.onOffer = [&](const std::wstring&) {
    std::filesystem::remove(std::filesystem::path(path));
    return true;
  };
  Start();
  RunUpdate();
  EXPECT_EQ(host.Texts().back(), kFailureBox);
  EXPECT_TRUE(FramesOf(*controller, BOOT_WRITE_IMAGE).empty());
  EXPECT_TRUE(host.updateAllowed);
}

TEST_F(BootFixture, NoMatchingImageEndsQuietlyWithTheButtonRefreshed) {
  auto controller = AttachBoot();
  PickFile(WritePackage("p.dat", {MakeRecord(1, 1, 10, 1)}));
  Start();
  RunUpdate();
  EXPECT_TRUE(host.Texts().empty());
  EXPECT_TRUE(FramesOf(*controller, BOOT_START).empty());
  EXPECT_TRUE(host.updateAllowed);
}

}  // namespace
}  // namespace kestro
