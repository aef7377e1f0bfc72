// The controller pulled out at a random block, many times over by one front: every update ends
// within its bound as a failure and writes nothing past the image, and the controller, plugged in
// again, is then updated whole.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/UpdaterFixture.h"

namespace kestro {
namespace {

using testing::kFailureBox;
using testing::kSuccessBox;
using testing::MakeRecord;
using testing::UpdaterFixture;

constexpr int kRuns = 100;
constexpr std::size_t kImageLength = 46 * 10 + 7;  // 11 boot blocks, 15 framed blocks
constexpr std::uint32_t kBase = 0x08004000;
constexpr std::uint16_t kModel = 0x0102;
constexpr std::uint8_t kVariant = 3;

struct UnplugCase {
  const char* name;
  bool boot;
  int blocks;
  std::uint64_t boundMs;  // from the press to the worker's end
};

class UnplugTest : public UpdaterFixture, public ::testing::WithParamInterface<UnplugCase> {
 protected:
  // Attaches a controller at "pad"; the front searches and asks its version, as on an arrival.
  template <typename Controller>
  std::shared_ptr<Controller> PlugIn(std::shared_ptr<Controller> controller) {
    env.port.AttachDevice(L"pad", controller);
    host.updateAllowed = hid.FindDevice() != 0;
    updater.QueryDeviceVersion();
    return controller;
  }
  void PullOut() {
    env.port.Detach(L"pad");
    host.updateAllowed = hid.FindDevice() != 0;
  }
};

TEST_P(UnplugTest, EveryPullEndsAsAFailureAndTheNextUpdateSucceeds) {
  const UnplugCase c = GetParam();
  const auto records = std::vector<sim::PackageRecord>{
      MakeRecord(c.boot ? kModel : 0, c.boot ? kVariant : 0, kImageLength, 21),
      MakeRecord(9, 9, 60, 22)};
  const auto& image = records[0].image;
  PickFile(WritePackage("p.dat", records));
  Start();
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> anyBlock(0, c.blocks - 1);

  for (int run = 0; run < kRuns; ++run) {
    const int block = anyBlock(random);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) +
                 ", pulled at block " + std::to_string(block));
    std::shared_ptr<sim::BootController> boot;
    std::shared_ptr<sim::NormalController> normal;
    if (c.boot) {
      boot = PlugIn(std::make_shared<sim::BootController>(
          sim::BootConfig{.faults = {.detachAtBlock = block}}));
    } else {
      normal = PlugIn(std::make_shared<sim::NormalController>(
          sim::NormalConfig{.faults = {.detachAtBlock = block}}));
    }
    ASSERT_TRUE(host.updateAllowed);
    const std::uint64_t pressedAt = env.clock.NowMs();
    RunUpdate();
    EXPECT_LE(env.clock.NowMs() - pressedAt, c.boundMs);
    EXPECT_EQ(host.Texts().back(), kFailureBox);
    EXPECT_EQ(host.outcome, Outcome::kFailed);
    EXPECT_FALSE(host.updateAllowed);
    EXPECT_FALSE(updater.Context().packageFile.IsOpen());
    if (c.boot) {
      EXPECT_EQ(boot->BytesBeyondRange(), 0u);
      EXPECT_FALSE(boot->Finished());
    } else {
      EXPECT_FALSE(normal->ReceivedBeyondLength());
      EXPECT_FALSE(normal->Ended());
    }
    PullOut();

    // Plugged in again, whole.
    if (c.boot) {
      boot = PlugIn(std::make_shared<sim::BootController>());
    } else {
      normal = PlugIn(std::make_shared<sim::NormalController>());
    }
    RunUpdate();
    EXPECT_EQ(host.Texts().back(), kSuccessBox);
    if (c.boot) {
      EXPECT_EQ(boot->FlashRange(kBase, kImageLength), image);
    } else {
      EXPECT_EQ(normal->ReceivedImage(), image);
    }
    PullOut();
    if (::testing::Test::HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, UnplugTest,
                         ::testing::Values(UnplugCase{"framed", false, 15, kSilenceBoundMs},
                                           UnplugCase{"boot", true, 11, kBootBlockBoundMs}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro
