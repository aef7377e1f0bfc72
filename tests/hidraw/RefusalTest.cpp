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

struct RefusalCase {
  const char* name;
  Present present;
  Argument argument;
  bool nodeRefused;  // the controller's node does not let the user in
  int status;
  std::vector<const char*> mentions;  // in the first line on standard error
  bool oneLine;                       // else: the line, then the instructions
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
  std::shared_ptr<sim::NormalController> normal;
  std::shared_ptr<sim::BootController> boot;
  std::shared_ptr<EmulatedNode> node;
  switch (c.present) {
    case Present::kNothing:
      break;
    case Present::kOtherDevice:
      node = bed.Plug(DeviceToPlug{0x046D, 0xC077, nullptr, IdentitySource::kHidId});
      break;
    case Present::kNormal:
      normal = std::make_shared<sim::NormalController>();
      node = bed.Plug(normal);
      break;
    case Present::kBoot:
    case Present::kSilentBoot: {
      sim::BootConfig config;
      if (c.present == Present::kSilentBoot) config.faults.silentTo = sim::BOOT_GET_INFO;
      boot = std::make_shared<sim::BootController>(config);
      node = bed.Plug(boot);
      break;
    }
  }
  if (c.present != Present::kNothing) {
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(node->SetAccessMode(c.nodeRefused ? 0 : 0666));
  }
  const std::vector<std::string> arguments = Arguments(c.argument);

  RunOptions options;
  // As root, neither a file's nor a node's mode refuses anything.
  options.unprivileged = c.nodeRefused || c.argument == Argument::kUnreadable;
  const Completion run = RunProgram(arguments, options);

  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.err;
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("kestro-update: ", 0), 0u) << run.err;
  for (const char* mention : c.mentions) {
    EXPECT_NE(lines[0].find(mention), std::string::npos)
        << "no \"" << mention << "\" in " << run.err;
  }
  if (c.oneLine) {
    EXPECT_EQ(lines.size(), 1u) << run.err;
  } else {
    // As a terminal words them: no button to click.
    EXPECT_GT(lines.size(), 1u) << run.err;
    EXPECT_NE(run.err.find(ProgramText(kTextInstructions)), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("button"), std::string::npos) << run.err;
  }
  EXPECT_EQ(run.out.find(ProgramText(kTextUpgraded)), std::string::npos) << run.out;
  if (normal) {
    EXPECT_TRUE(NothingOfAnUpdate(*normal));
  }
  if (boot) {
    EXPECT_TRUE(NothingOfAnUpdate(*boot));
  }
  if (c.nodeRefused || c.present == Present::kOtherDevice) {
    EXPECT_TRUE(node->Writes().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(
        RefusalCase{
            "MissingFile", Present::kNormal, Argument::kMissing, false, 1, {"cannot read"}, true},
        RefusalCase{"UnreadableFile",
                    Present::kNormal,
                    Argument::kUnreadable,
                    false,
                    1,
                    {"cannot read"},
                    true},
        RefusalCase{"NotAPackage",
                    Present::kNormal,
                    Argument::kNotAPackage,
                    false,
                    1,
                    {"not a firmware package"},
                    true},
        RefusalCase{"EmptyFile",
                    Present::kNormal,
                    Argument::kEmpty,
                    false,
                    1,
                    {"not a firmware package"},
                    true},
        RefusalCase{"NoImageForNormalMode",
                    Present::kNormal,
                    Argument::kBootImageOnly,
                    false,
                    1,
                    {"no image for this controller"},
                    true},
        RefusalCase{"NoImageForBootMode",
                    Present::kBoot,
                    Argument::kNormalImageOnly,
                    false,
                    1,
                    {"no image for this controller"},
                    true},
        RefusalCase{"NodeRefused",
                    Present::kNormal,
                    Argument::kNormalImageOnly,
                    true,
                    2,
                    {"no permission", "udev rule"},
                    true},
        RefusalCase{"BootNodeRefused",
                    Present::kBoot,
                    Argument::kBootImageOnly,
                    true,
                    2,
                    {"no permission", "udev rule"},
                    true},
        RefusalCase{"NodeRefusedNoPackage",
                    Present::kNormal,
                    Argument::kNone,
                    true,
                    2,
                    {"no permission", "udev rule"},
                    true},
        RefusalCase{"NoController",
                    Present::kNothing,
                    Argument::kNormalImageOnly,
                    false,
                    2,
                    {"no controller found"},
                    false},
        // The file is what is wrong, whether or not a controller is there.
        RefusalCase{"MissingFileNoController",
                    Present::kNothing,
                    Argument::kMissing,
                    false,
                    1,
                    {"cannot read"},
                    true},
        RefusalCase{"NotAPackageNoController",
                    Present::kNothing,
                    Argument::kNotAPackage,
                    false,
                    1,
                    {"not a firmware package"},
                    true},
        RefusalCase{"BootLoaderWithoutItsModel",
                    Present::kSilentBoot,
                    Argument::kNormalImageFirst,
                    false,
                    1,
                    {"Get gamepad info error"},
                    true},
        RefusalCase{"NoControllerNoPackage",
                    Present::kNothing,
                    Argument::kNone,
                    false,
                    2,
                    {"no controller found"},
                    false},
        RefusalCase{"OnlyAnotherHidDevice",
                    Present::kOtherDevice,
                    Argument::kNormalImageOnly,
                    false,
                    2,
                    {"no controller found"},
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::hidraw::testing
