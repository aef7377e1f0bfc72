// What the tests of the program kestro-update share: a testbed with the emulated controllers
// plugged in, a private directory for packages, a run of the program bounded in time, and the
// program's texts as the two-language table has them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/hidraw/ChildProcess.h"
#include "tests/hidraw/HidrawTestbed.h"
#include "tests/hidraw/RowName.h"

namespace kestro::hidraw::testing {

// Indexes into res/texts.def.
inline constexpr int kTextUpgraded = 4;
inline constexpr int kTextNewFirmware = 5;
inline constexpr int kTextTitle = 6;
inline constexpr int kTextFailure = 7;
inline constexpr int kTextInstructions = 14;

// The text as the program prints it: as a terminal words it, UTF-8, CR LF as LF.
std::string ProgramText(int index, bool chinese = false);

// What the boot controller is, and where images go.
inline constexpr std::uint16_t kBootModel = 0x0102;
inline constexpr std::uint8_t kBootVariant = 3;
inline constexpr std::uint32_t kImageBase = 0x08004000;

// A package record: model 0 variant 0 is what a normal-mode controller takes.
sim::PackageRecord Record(std::uint16_t model, std::uint8_t variant, std::size_t length,
                          std::uint32_t seed, std::uint16_t version = 123, std::uint16_t beta = 0);

inline bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// A package with an image for each mode, so that the wrong choice shows.
struct Package {
  std::string path;
  sim::PackageRecord normal;  // model 0 variant 0
  sim::PackageRecord boot;    // the boot controller's model and variant
};

enum class Mode { kNormal, kBoot };

// The controller under test in one of its two modes, and its node once plugged in.
struct Controller {
  std::shared_ptr<sim::NormalController> normal;
  std::shared_ptr<sim::BootController> boot;
  std::shared_ptr<EmulatedNode> node;

  std::shared_ptr<sim::Device> Device() const;
  // Its mode's image of the package arrived whole: every block in normal mode, the flash from
  // the image base in boot mode.
  bool Holds(const Package& package) const;
  // The update's end arrived: the end of the transfer, or the boot protocol's finish.
  bool Completed() const;
  // Nothing of an update arrived: no announcement, no image byte, no end; for the boot
  // controller no frame but the information query.
  bool NothingOfAnUpdate() const;
};

Controller MakeController(Mode mode, const sim::NormalConfig& normal = {},
                          const sim::BootConfig& boot = {});

struct RunOptions {
  std::string input;          // standard input
  bool unprivileged = false;  // as user nobody (see Invocation)
  bool chinese = false;       // LANG=zh_CN.UTF-8 instead of C.UTF-8
  std::string pidFile;        // when set, the program's process id is written there first
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A package file in the test's directory.
  std::string WritePackage(const std::string& name, const std::vector<sim::PackageRecord>& records);
  // A package of both modes' images, `length` bytes each, patterned by `seed` and `seed + 1`.
  Package WriteUpdate(std::size_t length, std::uint32_t seed, std::uint16_t version = 123,
                      std::uint16_t beta = 0, const std::string& name = "update.dat");
  std::string PathInDirectory(const std::string& name) const { return m_directory + "/" + name; }
  // Makes the controller and plugs it in; its node is null when umockdev refused it.
  Controller PlugController(Mode mode, const sim::NormalConfig& normal = {},
                            const sim::BootConfig& boot = {});
  Completion RunProgram(const std::vector<std::string>& arguments, const RunOptions& options = {});

  HidrawTestbed bed;

 private:
  std::string m_directory;
};

// The program told of a whole update, and the controller holds the package's image and its end.
void ExpectWholeUpdate(const Completion& run, const Controller& controller, const Package& package,
                       bool chinese = false);
// The program told of a failed update, and the controller was left without a whole one.
void ExpectFailedUpdate(const Completion& run, const Controller& controller,
                        const Package& package);

// Every write was one whole report behind report id 0.
bool AllWritesWereReports(const EmulatedNode& node);

}  // namespace kestro::hidraw::testing
