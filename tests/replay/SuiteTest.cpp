// The regression suite of recordings: each session in recordings/ (made by make-recordings.sh from
// kestro-update against the emulated controllers) is played back by kestro-link-server --replay
// through the virtual HID device to the current kestro-update.exe under Wine. Each must end as it
// was recorded, with no report of the updater's other than the recorded ones: a change on the wire
// shows here as a failing replay.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "platform/record/Recording.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

constexpr std::uint32_t kReplayMs = 120000;

struct SuiteCase {
  const char* name;  // recordings/<name>.jsonl, its package <name>.dat
  bool fast;         // answers at once, else at the recorded pace
};

void PrintTo(const SuiteCase& c, std::ostream* out) { *out << c.name; }

std::string RecordedOutcome(const std::string& path) {
  std::ifstream file(path);
  std::string outcome;
  for (std::string line; std::getline(file, line);) {
    const auto event = record::ParseEvent(line);
    if (event && event->kind == record::Event::Kind::kOutcome) outcome = event->outcome;
  }
  return outcome;
}

class SuiteTest : public E2eTest, public ::testing::WithParamInterface<SuiteCase> {};

TEST_P(SuiteTest, TheRecordedSessionReplaysWithoutDivergence) {
  const SuiteCase& c = GetParam();
  const std::string recording = std::string(KESTRO_REPLAY_RECORDINGS) + "/" + c.name + ".jsonl";
  const std::string outcome = RecordedOutcome(recording);
  ASSERT_FALSE(outcome.empty()) << recording << " holds no outcome";
  // The package the session was recorded with: made the same way, under the same name.
  const std::string package = Artifact("replay") + "/" + c.name + ".dat";
  std::filesystem::create_directories(Artifact("replay"));
  const RunResult made = e2e::Run({KESTRO_REPLAY_PACKAGE_SCRIPT, package},
                                  {{"KESTRO_PACKAGE", KESTRO_PACKAGE_PROGRAM}}, 30000);
  ASSERT_EQ(made.exitCode, 0) << made.output;

  const std::string serverOut = Artifact("server.out");
  std::vector<std::string> server = {
      KESTRO_LINK_SERVER_PROGRAM, "--replay", recording, "--package", package, "--port", "0"};
  if (c.fast) server.push_back("--fast");
  Background replay(server, {}, serverOut);
  ASSERT_TRUE(replay.Started());
  ASSERT_TRUE(WaitForText(serverOut, "listening on 127.0.0.1:", kStartMs)) << ReadFile(serverOut);
  std::smatch port;
  const std::string said = ReadFile(serverOut);
  ASSERT_TRUE(std::regex_search(said, port, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")));
  m_bridgeOutput = Artifact("bridge.out");
  m_bridge = StartBridgeOn(static_cast<std::uint16_t>(std::stoi(port[1])), m_bridgeOutput);
  ASSERT_TRUE(WaitForLine(m_bridgeOutput, "ready", kStartMs)) << ReadFile(m_bridgeOutput);

  const RunResult run = e2e::Run(
      {"wine", TestPaths().windowsBuildDir + "/kestro-update.exe", "--yes", WindowsPath(package)},
      ProgramEnv(), kReplayMs);
  std::ofstream(Artifact("program.out"), std::ios::binary) << run.output;
  const std::optional<int> replayed = replay.Wait(kProgramEndMs);
  const std::string verdict = ReadFile(serverOut);
  EXPECT_EQ(replayed, std::optional<int>(0)) << verdict << "\nthe updater said:\n" << run.output;
  EXPECT_NE(verdict.find("replay complete"), std::string::npos) << verdict;
  EXPECT_EQ(run.exitCode, outcome == "succeeded" ? 0 : 1) << run.output;
  m_bridge->Wait(kProgramEndMs);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, SuiteTest,
    ::testing::Values(SuiteCase{"normal_whole", true}, SuiteCase{"boot_whole", true},
                      SuiteCase{"normal_failure", true}, SuiteCase{"boot_failure", true},
                      SuiteCase{"normal_unplug", true}, SuiteCase{"boot_unplug", true},
                      SuiteCase{"normal_slow", false}, SuiteCase{"boot_slow", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
