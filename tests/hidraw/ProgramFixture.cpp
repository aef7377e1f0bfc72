#include "tests/hidraw/ProgramFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Utf8.h"
#include "res/TextTable.h"

namespace kestro::hidraw::testing {

std::string ProgramText(int index, bool chinese) {
  const TextEntry* entry = FindTerminalText(index);
  if (entry == nullptr) return {};
  std::string text = ToUtf8(chinese ? entry->chinese : entry->english);
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

sim::PackageRecord Record(std::uint16_t model, std::uint8_t variant, std::size_t length,
                          std::uint32_t seed, std::uint16_t version, std::uint16_t beta) {
  sim::PackageRecord record;
  record.modelId = model;
  record.variant = variant;
  record.version = version;
  record.beta = beta;
  record.baseAddress = kImageBase;
  record.image = sim::PatternImage(length, seed);
  return record;
}

void ProgramTest::SetUp() {
  ASSERT_TRUE(bed.Ready()) << "run this test under umockdev-wrapper";
  ASSERT_EQ(access(KESTRO_UPDATE_PROGRAM, X_OK), 0)
      << KESTRO_UPDATE_PROGRAM << " is not built; these tests run the real program";
  char pattern[] = "/tmp/kestro-hidraw-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  m_directory = pattern;
  // The permission tests run the program as another user, who must reach the packages.
  chmod(m_directory.c_str(), 0755);
}

void ProgramTest::TearDown() {
  std::error_code error;
  if (!m_directory.empty()) std::filesystem::remove_all(m_directory, error);
}

std::string ProgramTest::WritePackage(const std::string& name,
                                      const std::vector<sim::PackageRecord>& records) {
  const std::string path = PathInDirectory(name);
  EXPECT_TRUE(sim::WriteFileBytes(path, sim::BuildPackage(records)));
  return path;
}

Package ProgramTest::WriteUpdate(std::size_t length, std::uint32_t seed, std::uint16_t version,
                                 std::uint16_t beta, const std::string& name) {
  Package package{"", Record(0, 0, length, seed, version, beta),
                  Record(kBootModel, kBootVariant, length, seed + 1, version, beta)};
  package.path = WritePackage(name, {package.normal, package.boot});
  return package;
}

Controller ProgramTest::PlugController(Mode mode, const sim::NormalConfig& normal,
                                       const sim::BootConfig& boot) {
  Controller controller = MakeController(mode, normal, boot);
  controller.node = bed.Plug(controller.Device());
  return controller;
}

Completion ProgramTest::RunProgram(const std::vector<std::string>& arguments,
                                   const RunOptions& options) {
  Invocation invocation;
  invocation.argv = {KESTRO_UPDATE_PROGRAM};
  if (!options.pidFile.empty()) {
    // exec keeps the shell's process id: the one written is the program's.
    invocation.argv = {"sh", "-c", "echo $$ > \"" + options.pidFile + "\"; exec \"$0\" \"$@\"",
                       KESTRO_UPDATE_PROGRAM};
  }
  invocation.argv.insert(invocation.argv.end(), arguments.begin(), arguments.end());
  // The language comes from LANG alone.
  invocation.environment = {{"LC_ALL", std::nullopt},
                            {"LC_MESSAGES", std::nullopt},
                            {"LANGUAGE", std::nullopt},
                            {"LANG", options.chinese ? "zh_CN.UTF-8" : "C.UTF-8"}};
  invocation.input = options.input;
  invocation.unprivileged = options.unprivileged;
  invocation.bound = std::chrono::seconds(120);
  if (options.unprivileged) bed.OpenToAllUsers();
  return RunChild(invocation);
}

std::shared_ptr<sim::Device> Controller::Device() const {
  if (normal) return normal;
  return boot;
}

bool Controller::Holds(const Package& package) const {
  if (normal) return normal->ReceivedImage() == package.normal.image;
  const auto length = static_cast<std::uint32_t>(package.boot.image.size());
  return boot->FlashRange(kImageBase, length) == package.boot.image;
}

bool Controller::Completed() const { return normal ? normal->Ended() : boot->Finished(); }

bool Controller::NothingOfAnUpdate() const {
  if (normal && (normal->Announced() || !normal->ReceivedImage().empty() || normal->Ended())) {
    return false;
  }
  if (boot) {
    for (const sim::BootFrame& frame : boot->Frames()) {
      if (frame.command != sim::BOOT_GET_INFO) return false;
    }
    return boot->Flash().empty() && !boot->VersionWord() && !boot->Started();
  }
  return true;
}

Controller MakeController(Mode mode, const sim::NormalConfig& normal, const sim::BootConfig& boot) {
  Controller controller;
  if (mode == Mode::kNormal) {
    controller.normal = std::make_shared<sim::NormalController>(normal);
  } else {
    controller.boot = std::make_shared<sim::BootController>(boot);
  }
  return controller;
}

void ExpectWholeUpdate(const Completion& run, const Controller& controller, const Package& package,
                       bool chinese) {
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, ProgramText(kTextUpgraded, chinese))) << run.out;
  EXPECT_FALSE(Contains(run.err, ProgramText(kTextFailure, chinese))) << run.err;
  EXPECT_TRUE(controller.Holds(package));
  EXPECT_TRUE(controller.Completed());
}

void ExpectFailedUpdate(const Completion& run, const Controller& controller,
                        const Package& package) {
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_TRUE(Contains(run.err, ProgramText(kTextFailure))) << run.err;
  EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
  EXPECT_FALSE(controller.Holds(package) && controller.Completed());
}

bool AllWritesWereReports(const EmulatedNode& node) {
  for (const WrittenReport& write : node.Writes()) {
    if (write.bytes.size() != sim::kReportSize || write.bytes[0] != 0) return false;
  }
  return true;
}

}  // namespace kestro::hidraw::testing
