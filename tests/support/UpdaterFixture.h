// Updates driven as a front drives them, without a window: the fake port with the emulated
// controllers, a CHid over it, a recording front and the Updater, on the virtual clock, all on
// the test's own thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hid/Hid.h"
#include "tests/support/Controllers.h"
#include "tests/support/Environment.h"
#include "tests/support/Packages.h"
#include "tests/support/ProgramTexts.h"
#include "tests/support/RecordingHost.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace kestro::testing {

class UpdaterFixture : public ::testing::Test {
 protected:
  using Outcome = UpdateHost::Outcome;
  using From = UpdateHost::From;

  // As a front starts: the controller's record cleared, the search, and the version query when
  // one is found.
  void Start() {
    updater.Context().ClearImageFields();
    stopFlag = 1;
    deviceVersion = kVersionUnknown;
    if (hid.FindDevice()) updater.QueryDeviceVersion();
    updateState = kUpdateStateIdle;
  }
  // As a front starts an update, on the controller found last: opened, then run to its end.
  void RunUpdate() {
    if (!hid.OpenDevice()) return;
    stopFlag = 0;
    host.updateAllowed = false;
    updater.Run(static_cast<DeviceKindValue>(DeviceKind.load()));
  }

  std::shared_ptr<sim::NormalController> AttachNormal(sim::NormalConfig config = {}) {
    return testing::AttachNormal(env.port, config);
  }
  std::shared_ptr<sim::BootController> AttachBoot(sim::BootConfig config = {}) {
    return testing::AttachBoot(env.port, config);
  }
  std::wstring WritePackage(const std::string& name,
                            const std::vector<sim::PackageRecord>& records) {
    return packages.WritePackage(name, records);
  }
  void PickFile(const std::wstring& path) { host.package = path; }
  // The last ShowVersion's title, or the program's own when none came.
  std::wstring Title() const { return host.versions.empty() ? kTitle : host.versions.back(); }
  bool Succeeded() const { return host.outcome == Outcome::kSucceeded; }
  bool Told(const std::wstring& text) const {
    for (const auto& t : host.Texts()) {
      if (t == text) return true;
    }
    return false;
  }

  Environment env;
  PackageDirectory packages;
  CHid hid{env.port};
  RecordingHost host{hid, env.clock};
  Updater updater{hid, host};
};

}  // namespace kestro::testing
