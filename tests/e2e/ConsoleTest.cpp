// kestro-update.exe, the console program, under Wine against emulated controllers inside Wine's
// own HID stack (kestro-vhid.exe): its version line, whole updates in each protocol byte for
// byte, --list and --all with several controllers at once, a controller pulled out mid-transfer,
// Chinese under the Chinese interface language, and its output through a pipe.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

constexpr std::size_t kImageBytes = 16 * 1024;
constexpr std::uint32_t kRunMs = 120000;

enum class Kind { kNormal, kBoot };

struct ConsoleCase {
  const char* name;
  std::vector<Kind> controllers;
  std::vector<std::string> arguments;  // "PKG" stands for the package
  int pulled = -1;                     // this controller goes away mid-transfer
  bool chinese = false;
  bool pipe = false;  // through `| cat`, else into a file
  int status = 0;
  std::vector<std::string> says;  // in the output, each
};

void PrintTo(const ConsoleCase& c, std::ostream* out) { *out << c.name; }

class ConsoleTest : public E2eTest, public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(ConsoleTest, DoesWhatItDoesOnLinuxThroughWindowsOwnHidStack) {
  const ConsoleCase& c = GetParam();
  if (c.chinese) m_lang = "zh_CN.UTF-8";
  const sim::BootConfig bootConfig;
  const sim::PackageRecord normalRecord = NormalRecord(kImageBytes);
  const sim::PackageRecord bootRecord = BootRecord(bootConfig, kImageBytes);
  const std::string package = WritePackage({normalRecord, bootRecord});
  StartServer();
  std::vector<std::shared_ptr<sim::NormalController>> normals(c.controllers.size());
  std::vector<std::shared_ptr<sim::BootController>> boots(c.controllers.size());
  for (std::size_t i = 0; i < c.controllers.size(); ++i) {
    const bool pulled = static_cast<int>(i) == c.pulled;
    if (c.controllers[i] == Kind::kNormal) {
      sim::NormalConfig config;
      if (pulled) config.faults.detachAtBlock = 100;
      normals[i] = std::make_shared<sim::NormalController>(config);
      m_server->Attach("kestro" + std::to_string(i), normals[i]);
    } else {
      sim::BootConfig config = bootConfig;
      if (pulled) config.faults.detachAtBlock = 100;
      boots[i] = std::make_shared<sim::BootController>(config);
      m_server->Attach("kestro" + std::to_string(i), boots[i]);
    }
  }
  ASSERT_NO_FATAL_FAILURE(StartBridge());

  std::string command = "wine " + TestPaths().windowsBuildDir + "/kestro-update.exe";
  for (const std::string& argument : c.arguments) {
    command += " '" + (argument == "PKG" ? WindowsPath(package) : argument) + "'";
  }
  if (c.pipe) command += " 2>&1 | cat";
  const RunResult run = e2e::Run({"sh", "-c", command}, ProgramEnv(), kRunMs);
  std::ofstream(Artifact("out.txt"), std::ios::binary) << run.output;
  if (!c.pipe) {
    EXPECT_EQ(run.exitCode, c.status) << run.output;
  }
  for (const std::string& text : c.says) {
    EXPECT_NE(run.output.find(text), std::string::npos) << "no \"" << text << "\" in\n"
                                                        << run.output;
  }
  // Line feeds as written, never CR LF: the console program writes its bytes itself.
  EXPECT_EQ(run.output.find("\r\n"), std::string::npos) << run.output;

  const bool updating = !c.arguments.empty() && c.arguments.back() == "PKG";
  for (std::size_t i = 0; i < c.controllers.size(); ++i) {
    SCOPED_TRACE("controller " + std::to_string(i));
    const bool whole =
        normals[i] ? normals[i]->ReceivedImage() == normalRecord.image
                   : boots[i]->FlashRange(bootRecord.baseAddress, kImageBytes) == bootRecord.image;
    EXPECT_EQ(whole, updating && static_cast<int>(i) != c.pulled);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConsoleTest,
    ::testing::ValuesIn(std::vector<ConsoleCase>{
        {.name = "Version",
         .controllers = {Kind::kNormal},
         .arguments = {},
         .says = {"Kestro Update v2.00(GamePad V1.23)\n"}},
        {.name = "WholeNormalUpdate",
         .controllers = {Kind::kNormal},
         .arguments = {"--yes", "PKG"},
         .says = {"New firmware 1.2\n", "Firmware upgraded!\n"}},
        {.name = "WholeBootUpdate",
         .controllers = {Kind::kBoot},
         .arguments = {"--yes", "PKG"},
         .says = {"New firmware 1.5 beta2\n", "Firmware upgraded!\n"}},
        {.name = "ListTwo",
         .controllers = {Kind::kNormal, Kind::kBoot},
         .arguments = {"--list"},
         .says = {"normal 3a7c:5750  GamePad V1.23\n", "boot 3a7c:3002  Fw v1.2 (model 0x0102"}},
        {.name = "AllThree",
         .controllers = {Kind::kNormal, Kind::kBoot, Kind::kNormal},
         .arguments = {"--all", "--yes", "PKG"},
         .says = {"3 of 3 controllers updated"}},
        {.name = "AllWithOnePulled",
         .controllers = {Kind::kNormal, Kind::kBoot, Kind::kNormal},
         .arguments = {"--all", "--yes", "PKG"},
         .pulled = 1,
         .status = 1,
         .says = {": Firmware update failure\n", "2 of 3 controllers updated"}},
        {.name = "PulledMidTransfer",
         .controllers = {Kind::kNormal},
         .arguments = {"--yes", "PKG"},
         .pulled = 0,
         .status = 1,
         .says = {"Firmware update failure\n"}},
        {.name = "ChineseThroughAPipe",
         .controllers = {Kind::kNormal},
         .arguments = {"--yes", "PKG"},
         .chinese = true,
         .pipe = true,
         .says = {"新固件 1.2\n", "升级成功。\n"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
