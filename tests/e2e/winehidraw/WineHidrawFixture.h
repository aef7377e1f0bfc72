// What the tests of the shipped program through Wine's own HID bus stand on. On a Linux desktop
// Wine hands a USB HID device to a Windows program through winebus, whose udev backend opens the
// device's hidraw node. Here the whole Wine session runs inside a umockdev test bed of the test's
// own (the test runs under umockdev-wrapper, and every Wine process is its child, with its
// environment: one TMPDIR, so one wineserver), whose hidraw nodes are the emulated controllers of
// the Linux tests. Wine's services inherit the mock from the session's first process, so each test
// starts its own session, in a prefix of this path's own: winebus there has its SDL backend off
// and so its udev backend on, and the prefix was made inside an empty test bed, so that it holds
// no device of the machine's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/hidraw/HidrawTestbed.h"

namespace kestro::e2e {

// With "Enable SDL" unset winebus tries its SDL backend first, and without libSDL2 its udev
// backend never starts.
std::vector<RegistryValue> WinebusOverHidraw();

class WineHidrawTest : public E2eTest {
 protected:
  WineHidrawTest();
  void SetUp() override;

  // Plugs the controller in and waits until a program finds it among Wine's HID interfaces.
  std::shared_ptr<hidraw::testing::EmulatedNode> PlugIn(std::shared_ptr<sim::Device> device);
  // The shipped program, with the controller (if any) in Wine's HID stack before its first search.
  void StartShipped(std::shared_ptr<sim::Device> device = nullptr);

  hidraw::testing::HidrawTestbed m_bed;
  std::shared_ptr<hidraw::testing::EmulatedNode> m_node;  // StartShipped's controller's
};

}  // namespace kestro::e2e
