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

bool NothingOfAnUpdate(const sim::NormalController& controller) {
  return !controller.Announced() && controller.ReceivedImage().empty() && !controller.Ended();
}

bool NothingOfAnUpdate(const sim::BootController& controller) {
  for (const sim::BootFrame& frame : controller.Frames()) {
    if (frame.command != sim::BOOT_GET_INFO) return false;
  }
  return controller.Flash().empty() && !controller.VersionWord() && !controller.Started();
}

bool AllWritesWereReports(const EmulatedNode& node) {
  for (const WrittenReport& write : node.Writes()) {
    if (write.bytes.size() != sim::kReportBytes || write.bytes[0] != 0) return false;
  }
  return true;
}

}  // namespace kestro::hidraw::testing
