// `--prepare` makes a fresh Wine prefix for this test run (the ctest fixture that runs first);
// without it the tests run as usual and make the prefix themselves if it is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/e2e/WineSession.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--prepare") {
    if (!kestro::e2e::HaveWine()) {
      std::puts(kestro::e2e::E2eRequired() ? "wine not installed"
                                           : "wine not installed; the end-to-end tests will skip");
      return kestro::e2e::E2eRequired() ? 1 : 0;
    }
    bool made = kestro::e2e::PreparePrefix(true);
    std::printf("Wine prefix %s: %s\n", kestro::e2e::TestPaths().prefix.c_str(),
                made ? "ready" : "FAILED");
    return made ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
