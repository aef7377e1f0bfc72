#include <gtest/gtest.h>

#include <cstring>

#include "hid/Hid.h"
#include "tests/support/Environment.h"

namespace kestro {
namespace {

using testing::Environment;

struct PairCase {
  std::uint16_t vid;
  std::uint16_t pid;
  bool accepted;
  std::uint32_t kind;
};

class HidPairTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(HidPairTest, AcceptsOnlySupportedControllersAndTellsTheirKind) {
  Environment env;
  const PairCase c = GetParam();
  DeviceKind = 7;  // any earlier value
  env.port.Attach(L"dev0", c.vid, c.pid);
  CHid hid{env.port};
  EXPECT_EQ(hid.FindDevice(), c.accepted ? 1 : 0);
  EXPECT_EQ(hid.DevicePresent(), c.accepted);
  EXPECT_EQ(DeviceKind.load(), c.accepted ? c.kind : 7u);
  EXPECT_EQ(env.port.OpenHandles(), 0) << "the probe handle is closed";
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, HidPairTest,
    ::testing::Values(PairCase{0x0483, 0x5750, true, 0}, PairCase{0x3A7C, 0x5750, true, 0},
                      PairCase{0x3A7C, 0x3002, true, 1}, PairCase{0x0483, 0x3002, false, 0},
                      PairCase{0x3A7C, 0x3003, false, 0}, PairCase{0x1234, 0x5750, false, 0},
                      PairCase{0x0000, 0x0000, false, 0}));

TEST(HidTest, TakesTheFirstControllerInEnumerationOrderAndSkipsUnusableInterfaces) {
  Environment env;
  env.port.Attach(L"keyboard", 0x046D, 0xC31C);
  env.port.Attach(L"locked", 0x3A7C, 0x5750);
  env.port.SetOpenFails(L"locked", true);
  env.port.Attach(L"noattr", 0x3A7C, 0x5750);
  env.port.SetAttributesFail(L"noattr", true);
  env.port.Attach(L"boot", 0x3A7C, 0x3002);
  env.port.Attach(L"normal", 0x0483, 0x5750);
  CHid hid{env.port};
  ASSERT_EQ(hid.FindDevice(), 1);
  EXPECT_EQ(hid.DevicePath(), L"boot");
  EXPECT_EQ(DeviceKind.load(), kDeviceKindBoot);
  EXPECT_TRUE(env.HasLine(L"m_DevicePath:boot\n"));
}

TEST(HidTest, RegistersForNotificationsOnceEvenWhenNothingIsFound) {
  Environment env;
  CHid hid{env.port};
  hid.m_NotifyWindow = reinterpret_cast<NativeWindow>(0x1234);
  EXPECT_EQ(hid.FindDevice(), 0);
  EXPECT_EQ(env.port.Registrations(), 1);
  env.port.Attach(L"dev", 0x3A7C, 0x5750);
  EXPECT_EQ(hid.FindDevice(), 1);
  EXPECT_EQ(hid.FindDevice(), 1);
  EXPECT_EQ(env.port.Registrations(), 1);
  EXPECT_EQ(env.port.RegisteredWindow(), reinterpret_cast<NativeWindow>(0x1234));
}

TEST(HidTest, FailedSearchKeepsPathAndKindOfTheLastController) {
  Environment env;
  env.port.Attach(L"boot", 0x3A7C, 0x3002);
  CHid hid{env.port};
  ASSERT_EQ(hid.FindDevice(), 1);
  env.port.Detach(L"boot");
  EXPECT_EQ(hid.FindDevice(), 0);
  EXPECT_FALSE(hid.DevicePresent());
  EXPECT_EQ(hid.DevicePath(), L"boot");
  EXPECT_EQ(DeviceKind.load(), kDeviceKindBoot);
}

// A supported controller, found and opened.
class OpenedHidTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.port.Attach(L"dev", 0x3A7C, 0x5750);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
  }
  Environment env;
  CHid hid{env.port};
};

TEST_F(OpenedHidTest, OutputBufferKeepsBytesBehindAShortWrite) {
  std::uint8_t longReport[63];
  for (int i = 0; i < 63; ++i) longReport[i] = static_cast<std::uint8_t>(0x80 + i);
  std::uint8_t shortReport[17];
  std::memset(shortReport, 0x11, sizeof shortReport);
  ASSERT_NE(hid.WriteReport(longReport, 63), 0);
  ASSERT_NE(hid.WriteReport(shortReport, 17), 0);
  const auto written = env.port.Written();
  ASSERT_EQ(written.size(), 2u);
  const auto& report = written[1];
  ASSERT_EQ(report.size(), 65u);
  EXPECT_EQ(report[0], 0);
  for (int i = 1; i <= 17; ++i) EXPECT_EQ(report[i], 0x11) << i;
  for (int i = 18; i <= 63; ++i) EXPECT_EQ(report[i], 0x80 + i - 1) << i;
}

TEST(HidTest, WriteBeforeOpenFailsButStillFillsTheBuffer) {
  Environment env;
  CHid hid{env.port};
  const std::uint8_t bytes[] = {9, 8, 7};
  EXPECT_EQ(hid.WriteReport(bytes, 3), 0);
  std::uint8_t report[kReportSize];
  CHid::CopyOutputReport(report);
  EXPECT_EQ(report[0], 0);
  EXPECT_EQ(report[1], 9);
  EXPECT_EQ(report[3], 7);
  EXPECT_TRUE(env.port.Written().empty());
}

TEST(HidTest, ReadBeforeOpenReturns128AtOnce) {
  Environment env;
  CHid hid{env.port};
  std::uint8_t destination[64];
  std::memset(destination, 0xAB, sizeof destination);
  const auto before = env.clock.NowMs();
  EXPECT_EQ(hid.ReadReport(destination, 64), kWaitNotOpen);
  EXPECT_EQ(env.clock.NowMs(), before);
  EXPECT_EQ(destination[0], 0xAB);
}

TEST(HidTest, TimeOutAfterTheOpenedTimeoutLeavesTheDestinationUntouched) {
  Environment env;
  env.port.Attach(L"dev", 0x3A7C, 0x5750);
  CHid hid{env.port};
  EXPECT_EQ(hid.ReadTimeout(), 10u);
  hid.SetReadTimeout(55);
  ASSERT_EQ(hid.FindDevice(), 1);
  ASSERT_EQ(hid.OpenDevice(), 1);
  EXPECT_EQ(hid.ReadTimeout(), 200u);
  std::uint8_t destination[64];
  std::memset(destination, 0xAB, sizeof destination);
  const auto before = env.clock.NowMs();
  EXPECT_EQ(hid.ReadReport(destination, 64), kWaitTimeout);
  EXPECT_EQ(env.clock.NowMs() - before, 200u);
  for (auto b : destination) EXPECT_EQ(b, 0xAB);
}

TEST_F(OpenedHidTest, ReadDeliversThePayloadWithoutTheReportId) {
  std::uint8_t payload[kPayloadSize];
  for (int i = 0; i < 64; ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
  env.port.Input(L"dev", payload);
  std::uint8_t destination[64] = {};
  ASSERT_EQ(hid.ReadReport(destination, 64), kWaitReceived);
  EXPECT_EQ(0, std::memcmp(destination, payload, 64));
}

TEST_F(OpenedHidTest, ReadAndWriteOnAGoneControllerFailWithoutData) {
  env.port.Detach(L"dev");
  std::uint8_t destination[64];
  std::memset(destination, 0xAB, sizeof destination);
  EXPECT_EQ(hid.ReadReport(destination, 64), kWaitReadFailed);
  EXPECT_EQ(destination[0], 0xAB);
  const std::uint8_t bytes[] = {1};
  EXPECT_EQ(hid.WriteReport(bytes, 1), 0);
}

TEST_F(OpenedHidTest, AWriteThatNeverCompletesEndsAtItsBound) {
  env.port.SetWritesFail(L"dev", true);
  const auto before = env.clock.NowMs();
  const std::uint8_t bytes[] = {1};
  EXPECT_EQ(hid.WriteReport(bytes, 1), 0);
  EXPECT_EQ(env.clock.NowMs() - before, kWriteTimeoutMs);
}

TEST(HidTest, FailedOpenLeavesReadsClosed) {
  Environment env;
  env.port.Attach(L"dev", 0x3A7C, 0x5750);
  CHid hid{env.port};
  ASSERT_EQ(hid.FindDevice(), 1);
  env.port.SetOpenFails(L"dev", true);
  EXPECT_EQ(hid.OpenDevice(), 0);
  std::uint8_t destination[64];
  EXPECT_EQ(hid.ReadReport(destination, 64), kWaitNotOpen);
}

}  // namespace
}  // namespace kestro
