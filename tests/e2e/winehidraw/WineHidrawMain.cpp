// `--prepare` makes the Wine prefix of the tests through Wine's own HID bus (the ctest fixture that
// runs first), inside an empty test bed: as the prefix is made, winebus finds none of the
// machine's own devices. Without it the tests run as usual, and make the prefix if it is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/e2e/winehidraw/WineHidrawFixture.h"
#include "tests/hidraw/HidrawTestbed.h"

int main(int argc, char** argv) {
  using namespace kestro::e2e;
  if (argc == 2 && std::string(argv[1]) == "--prepare") {
    if (!HaveWine()) {
      std::puts(E2eRequired() ? "wine not installed"
                              : "wine not installed; the end-to-end tests will skip");
      return E2eRequired() ? 1 : 0;
    }
    kestro::hidraw::testing::HidrawTestbed bed;
    if (!bed.Ready()) {
      std::puts("not under umockdev-wrapper; the prefix is made inside a test bed");
      return E2eRequired() ? 1 : 0;
    }
    const bool made = PreparePrefix(true, WinebusOverHidraw());
    std::printf("Wine prefix %s: %s\n", TestPaths().prefix.c_str(), made ? "ready" : "FAILED");
    return made ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
