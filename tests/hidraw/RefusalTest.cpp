// kestro-update refusing what it cannot do: a package it cannot read or use, a controller node
// the user may not open, no controller at all. Each is one clear line (no controller: the line
// and the instructions) and a non-zero status, and the controller sees nothing of an update.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/hidraw/ProgramFixture.h"

namespace kestro::hidraw::testing {
namespace {

enum class Present {
  kNothing,
  kOtherDevice,
  kNormal,
  kBoot,
  kSilentBoot,  // a boot loader that does not answer its info request
};

enum class Argument {
  kNone,             // no package: the version query
  kMissing,          // a path where no file is
  kUnreadable,       // a package the user may not read
  kNotAPackage,      // text
  kEmpty,            // an empty file
  kNormalImageOnly,  // a package for a normal-mode controller only
  kBootImageOnly,    // a package for the boot-mode controller only
  // Model 0/0 first, at the boot loader's own address, then the boot-mode controller's image:
  // what a controller of unknown model would wrongly be given.
  kNormalImageFirst,
};

// What the program says and returns.
struct Refusal {
  int status;
  std::vector<const char*> mentions;  // in the first line on standard error
  bool oneLine;                       // else: the line, then the instructions
};

const Refusal kCannotRead{1, {"cannot read"}, true};
const Refusal kNotAPackage{1, {"not a firmware package"}, true};
const Refusal kNoImage{1, {"no image for this controller"}, true};
const Refusal kNoModel{1, {"Get gamepad info error"}, true};
const Refusal kNoPermission{2, {"no permission", "udev rule"}, true};
const Refusal kNoController{2, {"no controller found"}, false};

struct RefusalCase {
  const char* name;
  Present present;
  Argument argument;
  bool nodeRefused;  // the controller's node does not let the user in
  Refusal refusal;
};

class RefusalTest : public ProgramTest, public ::testing::WithParamInterface<RefusalCase> {
 protected:
  std::vector<std::string> Arguments(Argument argument) {
    switch (argument) {
      case Argument::kNone:
        return {};
      case Argument::kMissing:
        return {PathInDirectory("missing.dat")};
      case Argument::kUnreadable: {
        const std::string path = WritePackage("locked.dat", {Record(0, 0, 100, 1)});
        chmod(path.c_str(), 0);
        return {path};
      }
      case Argument::kNotAPackage: {
        const std::string path = PathInDirectory("notes.txt");
        const std::string text = "These are release notes, not firmware.\n";
        EXPECT_TRUE(sim::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end())));
        return {path};
      }
      case Argument::kEmpty: {
        const std::string path = PathInDirectory("empty.dat");
        EXPECT_TRUE(sim::WriteFileBytes(path, {}));
        return {path};
      }
      case Argument::kNormalImageOnly:
        return {WritePackage("normal.dat", {Record(0, 0, 100, 1)})};
      case Argument::kBootImageOnly:
        return {WritePackage("boot.dat", {Record(kBootModel, kBootVariant, 100, 2)})};
      case Argument::kNormalImageFirst: {
        sim::PackageRecord first = Record(0, 0, 100, 1);
        first.baseAddress = 0x08000000;
        return {WritePackage("both.dat", {first, Record(kBootModel, kBootVariant, 100, 2)})};
      }
    }
    return {};
  }
};

TEST_P(RefusalTest, OneClearLineNonZeroStatusNothingSent) {
  const RefusalCase& c = GetParam();
  Controller controller;
  switch (c.present) {
    case Present::kNothing:
      break;
    case Present::kOtherDevice:
      controller.node = bed.Plug(DeviceToPlug{0x046D, 0xC077, nullptr, IdentitySource::kHidId});
      break;
    case Present::kNormal:
      controller = PlugController(Mode::kNormal);
      break;
    case Present::kBoot:
      controller = PlugController(Mode::kBoot);
      break;
    case Present::kSilentBoot: {
      sim::BootConfig silent;
      silent.faults.silentTo = sim::BOOT_GET_INFO;
      controller = PlugController(Mode::kBoot, {}, silent);
      break;
    }
  }
  if (c.present != Present::kNothing) {
    ASSERT_NE(controller.node, nullptr);
    ASSERT_TRUE(controller.node->SetAccessMode(c.nodeRefused ? 0 : 0666));
  }
  const std::vector<std::string> arguments = Arguments(c.argument);

  RunOptions options;
  // As root, neither a file's nor a node's mode refuses anything.
  options.unprivileged = c.nodeRefused || c.argument == Argument::kUnreadable;
  const Completion run = RunProgram(arguments, options);

  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.refusal.status) << run.err;
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("kestro-update: ", 0), 0u) << run.err;
  for (const char* mention : c.refusal.mentions) {
    EXPECT_TRUE(Contains(lines[0], mention)) << "no \"" << mention << "\" in " << run.err;
  }
  if (c.refusal.oneLine) {
    EXPECT_EQ(lines.size(), 1u) << run.err;
  } else {
    // As a terminal words them: no button to click.
    EXPECT_GT(lines.size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, ProgramText(kTextInstructions))) << run.err;
    EXPECT_FALSE(Contains(run.err, "button")) << run.err;
  }
  EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
  EXPECT_TRUE(controller.NothingOfAnUpdate());
  if (c.nodeRefused || c.present == Present::kOtherDevice) {
    EXPECT_TRUE(controller.node->Writes().empty());
  }
}

const RefusalCase kRefusals[] = {
    {"MissingFile", Present::kNormal, Argument::kMissing, false, kCannotRead},
    {"UnreadableFile", Present::kNormal, Argument::kUnreadable, false, kCannotRead},
    {"NotAPackage", Present::kNormal, Argument::kNotAPackage, false, kNotAPackage},
    {"EmptyFile", Present::kNormal, Argument::kEmpty, false, kNotAPackage},
    {"NoImageForNormalMode", Present::kNormal, Argument::kBootImageOnly, false, kNoImage},
    {"NoImageForBootMode", Present::kBoot, Argument::kNormalImageOnly, false, kNoImage},
    {"NodeRefused", Present::kNormal, Argument::kNormalImageOnly, true, kNoPermission},
    {"BootNodeRefused", Present::kBoot, Argument::kBootImageOnly, true, kNoPermission},
    {"NodeRefusedNoPackage", Present::kNormal, Argument::kNone, true, kNoPermission},
    {"NoController", Present::kNothing, Argument::kNormalImageOnly, false, kNoController},
    // The file is what is wrong, whether or not a controller is there.
    {"MissingFileNoController", Present::kNothing, Argument::kMissing, false, kCannotRead},
    {"NotAPackageNoController", Present::kNothing, Argument::kNotAPackage, false, kNotAPackage},
    {"BootLoaderWithoutItsModel", Present::kSilentBoot, Argument::kNormalImageFirst, false,
     kNoModel},
    {"NoControllerNoPackage", Present::kNothing, Argument::kNone, false, kNoController},
    {"OnlyAnotherHidDevice", Present::kOtherDevice, Argument::kNormalImageOnly, false,
     kNoController}};
INSTANTIATE_TEST_SUITE_P(Refusals, RefusalTest, ::testing::ValuesIn(kRefusals), RowName());

}  // namespace
}  // namespace kestro::hidraw::testing
