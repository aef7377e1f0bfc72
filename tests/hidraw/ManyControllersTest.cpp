// kestro-update with more than one controller on the desk: --list, --device, --all and --station
// against emulated controllers on emulated hidraw nodes, each update byte-exact.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/hidraw/ProgramFixture.h"

namespace kestro::hidraw::testing {
namespace {

constexpr std::size_t kLength = 16 * 1024;

// Ctrl-C on the program after `ms`, as the user ends a station.
void InterruptLater(HidrawTestbed& bed, const std::string& pidFile, std::uint32_t ms) {
  bed.Loop().Post(
      [pidFile] {
        std::ifstream file(pidFile);
        pid_t pid = 0;
        if (file >> pid && pid > 0) kill(pid, SIGINT);
      },
      ms);
}

// The lines of a file, each a JSON object, as field -> raw value (strings unquoted).
std::vector<std::map<std::string, std::string>> ReadLog(const std::string& path) {
  std::vector<std::map<std::string, std::string>> objects;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::map<std::string, std::string> fields;
    EXPECT_TRUE(line.size() > 2 && line.front() == '{' && line.back() == '}') << line;
    for (std::size_t at = 1; at < line.size();) {
      const std::size_t nameEnd = line.find('"', at + 1);
      const std::string name = line.substr(at + 1, nameEnd - at - 1);
      std::size_t valueEnd;
      std::string value;
      if (line[nameEnd + 2] == '"') {
        valueEnd = line.find('"', nameEnd + 3);
        while (line[valueEnd - 1] == '\\') valueEnd = line.find('"', valueEnd + 1);
        value = line.substr(nameEnd + 3, valueEnd - nameEnd - 3);
        ++valueEnd;
      } else {
        valueEnd = line.find_first_of(",}", nameEnd + 2);
        value = line.substr(nameEnd + 2, valueEnd - nameEnd - 2);
      }
      fields[name] = value;
      at = valueEnd + 1;
    }
    objects.push_back(fields);
  }
  return objects;
}

// --- --list --------------------------------------------------------------------------------------

struct ListCase {
  const char* name;
  bool json;
};

class ListTest : public ProgramTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListTest, ShowsEachControllerItsModeAndVersionOrWhyNot) {
  sim::NormalConfig normal;
  normal.version = 261 | (2u << 16);
  const Controller a = PlugController(Mode::kNormal, normal);
  const Controller b = PlugController(Mode::kBoot);
  const Controller denied = PlugController(Mode::kNormal);
  ASSERT_TRUE(a.node && b.node && denied.node);
  ASSERT_TRUE(a.node->SetAccessMode(0666) && b.node->SetAccessMode(0666));
  ASSERT_TRUE(denied.node->SetAccessMode(0));

  RunOptions options;
  options.unprivileged = true;
  std::vector<std::string> arguments = {"--list"};
  if (GetParam().json) arguments.push_back("--json");
  const Completion run = RunProgram(arguments, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string& A = a.node->Place().devnode;
  const std::string& B = b.node->Place().devnode;
  const std::string& D = denied.node->Place().devnode;
  if (GetParam().json) {
    EXPECT_EQ(run.out,
              "[{\"path\":\"" + A +
                  "\",\"mode\":\"normal\",\"vendorId\":\"3a7c\",\"productId\":\"5750\","
                  "\"version\":\"GamePad V2.61 beta2\",\"versionWord\":\"0x00020105\"},"
                  "{\"path\":\"" +
                  B +
                  "\",\"mode\":\"boot\",\"vendorId\":\"3a7c\",\"productId\":\"3002\","
                  "\"version\":\"Fw v1.2\",\"versionWord\":\"0x0000007b\",\"model\":258,"
                  "\"variant\":3},"
                  "{\"path\":\"" +
                  D +
                  "\",\"mode\":\"normal\",\"vendorId\":\"3a7c\",\"productId\":\"5750\","
                  "\"version\":null,\"versionWord\":null,\"problem\":\"no permission to open "
                  "it; install the udev rule 70-kestro-controller.rules (README, \\\"Linux\\\") "
                  "and plug the controller in again\"}]\n");
  } else {
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], A + "  normal 3a7c:5750  GamePad V2.61 beta2");
    EXPECT_EQ(lines[1], B + "  boot 3a7c:3002  Fw v1.2 (model 0x0102, variant 3)");
    EXPECT_EQ(lines[2].rfind(D + "  normal 3a7c:5750  cannot be used: no permission", 0), 0u)
        << lines[2];
  }
  EXPECT_TRUE(a.NothingOfAnUpdate() && b.NothingOfAnUpdate());
}

INSTANTIATE_TEST_SUITE_P(Forms, ListTest,
                         ::testing::ValuesIn(std::vector<ListCase>{{"Lines", false},
                                                                   {"Json", true}}),
                         RowName());

// --- --all ---------------------------------------------------------------------------------------

struct AllCase {
  const char* name;
  std::vector<Mode> modes;
  int pulled;  // this controller is pulled out mid-transfer; -1: none
  int status;
};

class AllTest : public ProgramTest, public ::testing::WithParamInterface<AllCase> {};

TEST_P(AllTest, UpdatesEveryControllerAtOnceAndSumsUp) {
  const AllCase& c = GetParam();
  const Package package = WriteUpdate(kLength, 11);
  std::vector<Controller> controllers;
  for (std::size_t i = 0; i < c.modes.size(); ++i) {
    sim::NormalConfig normal;
    sim::BootConfig boot;
    if (static_cast<int>(i) == c.pulled)
      normal.faults.detachAtBlock = boot.faults.detachAtBlock = 40;
    controllers.push_back(PlugController(c.modes[i], normal, boot));
    ASSERT_NE(controllers.back().node, nullptr);
  }
  const std::string log = PathInDirectory("all.jsonl");
  const Completion run = RunProgram({"--all", "--yes", "--log", log, package.path});
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.out << run.err;

  const auto entries = ReadLog(log);
  ASSERT_EQ(entries.size(), controllers.size());
  for (std::size_t i = 0; i < controllers.size(); ++i) {
    const Controller& controller = controllers[i];
    const std::string& path = controller.node->Place().devnode;
    const bool pulled = static_cast<int>(i) == c.pulled;
    SCOPED_TRACE(path);
    EXPECT_EQ(controller.Holds(package) && controller.Completed(), !pulled);
    EXPECT_TRUE(AllWritesWereReports(*controller.node));
    // The summary names each controller and its ending.
    const std::string ending = pulled ? ProgramText(kTextFailure) : ProgramText(kTextUpgraded);
    EXPECT_TRUE(Contains(run.out, path + ": " + ending)) << run.out;
    const auto& entry = entries[i];
    EXPECT_EQ(entry.at("path"), path);
    EXPECT_EQ(entry.at("mode"), controller.boot ? "boot" : "normal");
    EXPECT_EQ(entry.at("outcome"), pulled ? "failed" : "succeeded");
    EXPECT_EQ(entry.at("versionBefore"), "0x0000007b");
    EXPECT_EQ(entry.at("versionAfter"), pulled ? "null" : "0x0000007b");
    EXPECT_EQ(entry.at("bytes"), pulled ? entry.at("bytes") : std::to_string(kLength));
  }
  const std::size_t updated = controllers.size() - (c.pulled >= 0 ? 1 : 0);
  EXPECT_TRUE(Contains(run.err, std::to_string(updated) + " of " +
                                    std::to_string(controllers.size()) + " controllers updated"))
      << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Desks, AllTest,
    ::testing::ValuesIn(std::vector<AllCase>{
        {"OneOfEach", {Mode::kNormal, Mode::kBoot}, -1, 0},
        {"FourOnePulled", {Mode::kNormal, Mode::kBoot, Mode::kNormal, Mode::kBoot}, 2, 1}}),
    RowName());

// --- --station -----------------------------------------------------------------------------------

TEST_F(ProgramTest, AStationTakesEachControllerAsItComesAndLogsIt) {
  const Package package = WriteUpdate(4096, 21);
  const std::string log = PathInDirectory("station.jsonl");
  const std::string pidFile = PathInDirectory("station.pid");
  sim::NormalConfig old;
  old.version = 100;
  sim::NormalConfig failing = old;
  failing.faults.failAtBlock = 3;
  std::vector<Controller> controllers = {
      MakeController(Mode::kNormal, old),      // updated
      MakeController(Mode::kNormal),           // runs the package's version already
      MakeController(Mode::kNormal, failing),  // fails, and comes back in boot mode
      MakeController(Mode::kBoot)};            // updated in boot mode
  std::vector<std::shared_ptr<EmulatedNode>> nodes(controllers.size());
  for (std::size_t i = 0; i < controllers.size(); ++i) {
    bed.Loop().Post([&, i] { nodes[i] = bed.Plug(controllers[i].Device()); },
                    static_cast<std::uint32_t>(600 + 1200 * i));
  }
  bed.Loop().Post([&] { bed.Unplug(*nodes[2]); }, 600 + 1200 * 2 + 900);
  InterruptLater(bed, pidFile, 600 + 1200 * 4 + 1500);

  RunOptions options;
  options.pidFile = pidFile;
  const Completion run = RunProgram({"--station", "--log", log, package.path}, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 1) << run.out << run.err;  // one controller failed

  EXPECT_TRUE(controllers[0].Holds(package) && controllers[0].Completed());
  EXPECT_TRUE(controllers[1].NothingOfAnUpdate());
  EXPECT_FALSE(controllers[2].Completed());
  EXPECT_TRUE(controllers[3].Holds(package) && controllers[3].Completed());
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_TRUE(Contains(lines[0], ProgramText(kTextUpgraded))) << lines[0];
  EXPECT_TRUE(Contains(lines[1], "already current")) << lines[1];
  EXPECT_TRUE(Contains(lines[2], ProgramText(kTextFailure))) << lines[2];
  EXPECT_TRUE(Contains(lines[3], "boot 3a7c:3002: " + ProgramText(kTextUpgraded))) << lines[3];

  const auto entries = ReadLog(log);
  ASSERT_EQ(entries.size(), 4u);
  const std::vector<std::string> outcomes = {"succeeded", "current", "failed", "succeeded"};
  const std::vector<std::string> before = {"0x00000064", "0x0000007b", "0x00000064", "0x0000007b"};
  const std::vector<std::string> after = {"0x0000007b", "0x0000007b", "null", "0x0000007b"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].at("path"), nodes[i]->Place().devnode);
    EXPECT_EQ(entries[i].at("outcome"), outcomes[i]);
    EXPECT_EQ(entries[i].at("versionBefore"), before[i]);
    EXPECT_EQ(entries[i].at("versionAfter"), after[i]);
    EXPECT_EQ(entries[i].at("time").size(), 20u);  // 2026-12-08T17:40:00Z
    EXPECT_GT(std::stod(entries[i].at("seconds")), 0.0);
  }
}

// --- what cannot be done -------------------------------------------------------------------------

enum class Desk { kNothing, kOtherDevice, kNormal };

struct ManyRefusalCase {
  const char* name;
  Desk desk;
  std::vector<std::string> arguments;  // "PKG" stands for a good package, "NODE" for the node
  int status;
  const char* says;  // in standard error
};

class ManyRefusalTest : public ProgramTest,
                        public ::testing::WithParamInterface<ManyRefusalCase> {};

TEST_P(ManyRefusalTest, OneClearLineAndNothingWritten) {
  const ManyRefusalCase& c = GetParam();
  const Package package = WriteUpdate(1024, 31);
  std::shared_ptr<EmulatedNode> node;
  Controller controller;
  if (c.desk == Desk::kOtherDevice) {
    node = bed.Plug(DeviceToPlug{0x046D, 0xC077, nullptr, IdentitySource::kHidId});
  } else if (c.desk == Desk::kNormal) {
    controller = PlugController(Mode::kNormal);
    node = controller.node;
  }
  std::vector<std::string> arguments;
  for (const std::string& argument : c.arguments) {
    if (argument == "PKG") {
      arguments.push_back(package.path);
    } else if (argument == "NODE") {
      arguments.push_back(node ? node->Place().devnode : "/dev/hidraw99");
    } else if (argument == "UNWRITABLE") {
      arguments.push_back(PathInDirectory("no/such/folder/log.jsonl"));
    } else {
      arguments.push_back(argument);
    }
  }
  const Completion run = RunProgram(arguments);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  if (node) {
    EXPECT_TRUE(node->Writes().empty() || controller.NothingOfAnUpdate());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ManyRefusalTest,
    ::testing::ValuesIn(std::vector<ManyRefusalCase>{
        {"DeviceNamingNoController",
         Desk::kNormal,
         {"--device", "/dev/hidraw99", "--yes", "PKG"},
         2,
         "no controller at /dev/hidraw99"},
        {"DeviceNamingAnotherDevice",
         Desk::kOtherDevice,
         {"--device", "NODE", "PKG"},
         2,
         "no controller at /dev/hidraw"},
        {"AllWithoutController",
         Desk::kNothing,
         {"--all", "--yes", "PKG"},
         2,
         "no controller found"},
        {"UnwritableLog",
         Desk::kNormal,
         {"--all", "--yes", "--log", "UNWRITABLE", "PKG"},
         1,
         "cannot write the log"},
        {"StationWithUnwritableLog",
         Desk::kNormal,
         {"--station", "--log", "UNWRITABLE", "PKG"},
         1,
         "cannot write the log"},
        {"ListWithAPackage", Desk::kNormal, {"--list", "PKG"}, 64, "--list takes no package"}}),
    RowName());

// A package without an image for a controller that arrives: it is reported, the station goes on.
TEST_F(ProgramTest, AStationReportsAControllerItHasNoImageForAndGoesOn) {
  const std::string package = WritePackage("normal-only.dat", {Record(0, 0, 1024, 41)});
  const std::string pidFile = PathInDirectory("station.pid");
  Controller boot = MakeController(Mode::kBoot);
  sim::NormalConfig old;
  old.version = 100;
  Controller normal = MakeController(Mode::kNormal, old);
  bed.Loop().Post([&] { bed.Plug(boot.Device()); }, 500);
  bed.Loop().Post([&] { bed.Plug(normal.Device()); }, 1700);
  InterruptLater(bed, pidFile, 3500);
  RunOptions options;
  options.pidFile = pidFile;
  const Completion run = RunProgram({"--station", package}, options);
  ASSERT_TRUE(run.exited) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out << run.err;
  EXPECT_TRUE(Contains(lines[0], "holds no image for this controller")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], ProgramText(kTextUpgraded))) << lines[1];
  EXPECT_TRUE(boot.NothingOfAnUpdate());
  EXPECT_TRUE(normal.Completed());
}

}  // namespace
}  // namespace kestro::hidraw::testing
