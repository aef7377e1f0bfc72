#include "tests/e2e/winehidraw/WineHidrawFixture.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kestro::e2e {

using Clock = std::chrono::steady_clock;

std::vector<RegistryValue> WinebusOverHidraw() {
  return {{"HKLM\\System\\CurrentControlSet\\Services\\winebus", "Enable SDL", "REG_DWORD", "0"}};
}

WineHidrawTest::WineHidrawTest() {
  m_prefixValues = WinebusOverHidraw();
  m_bed.SetRemoval(hidraw::testing::Removal::kKeepTerminal);
}

void WineHidrawTest::SetUp() {
  if (!m_bed.Ready()) {
    if (E2eRequired()) FAIL() << "run this test under umockdev-wrapper";
    GTEST_SKIP() << "not under umockdev-wrapper";
  }
  E2eTest::SetUp();
}

std::shared_ptr<hidraw::testing::EmulatedNode> WineHidrawTest::PlugIn(
    std::shared_ptr<sim::Device> device) {
  char identity[32];
  std::snprintf(identity, sizeof identity, "vid=%04x pid=%04x", device->VendorId(),
                device->ProductId());
  auto node = m_bed.Plug(std::move(device));
  EXPECT_TRUE(node) << "umockdev refused the device";
  if (!node) return node;
  // winebus adds the device as the "add" event comes, or, in a session that is only starting, as
  // its udev backend starts; the probe does what the program does to find it.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
  RunResult list;
  do {
    list = e2e::Run({"wine", TestPaths().windowsBuildDir + "/vhid/vhid-probe.exe", "list"},
                    WineEnv(), kStartMs);
    if (list.output.find(identity) != std::string::npos) return node;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (Clock::now() < deadline);
  ADD_FAILURE() << "Wine's HID bus did not show " << identity << ": " << list.output;
  return node;
}

void WineHidrawTest::StartShipped(std::shared_ptr<sim::Device> device) {
  if (device) {
    m_node = PlugIn(std::move(device));
    ASSERT_TRUE(m_node);
  }
  ASSERT_NO_FATAL_FAILURE(StartProgram("KestroUpdate.exe"));
}

}  // namespace kestro::e2e
