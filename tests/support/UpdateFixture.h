// The main dialog with the emulated controllers plugged in, updates run through its button.
#pragma once

#include <memory>

#include "tests/support/Controllers.h"
#include "tests/support/DialogFixture.h"

namespace kestro::testing {

class UpdateFixture : public DialogFixture {
 protected:
  std::shared_ptr<sim::NormalController> AttachNormal(sim::NormalConfig config = {}) {
    return testing::AttachNormal(env.port, config);
  }
  std::shared_ptr<sim::BootController> AttachBoot(sim::BootConfig config = {}) {
    return testing::AttachBoot(env.port, config);
  }
  // Presses the button and waits for the worker to end.
  void RunUpdate() {
    Press();
    ASSERT_TRUE(WaitForWorker());
  }
  bool SawBox(const std::wstring& text) const {
    for (const auto& t : BoxTexts()) {
      if (t == text) return true;
    }
    return false;
  }
};

}  // namespace kestro::testing
