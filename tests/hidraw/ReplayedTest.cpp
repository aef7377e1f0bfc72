// The regression suite's recordings (tests/replay/recordings) met by the Linux program: the link
// server replays each one, and its controller reaches kestro-update through an emulated hidraw
// node (LinkedController). Each must end as recorded, without divergence.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/record/Recording.h"
#include "tests/hidraw/LinkedController.h"
#include "tests/hidraw/ProgramFixture.h"

extern char** environ;

namespace kestro::hidraw::testing {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct ReplayedCase {
  const char* name;  // recordings/<name>.jsonl
};

class ReplayedTest : public ProgramTest, public ::testing::WithParamInterface<ReplayedCase> {};

TEST_P(ReplayedTest, EndsAsRecordedWithoutDivergence) {
  const std::string name = GetParam().name;
  const std::string recording = std::string(KESTRO_REPLAY_RECORDINGS) + "/" + name + ".jsonl";
  std::string outcome;
  {
    std::ifstream file(recording);
    for (std::string line; std::getline(file, line);) {
      const auto event = record::ParseEvent(line);
      if (event && event->kind == record::Event::Kind::kOutcome) outcome = event->outcome;
    }
  }
  ASSERT_FALSE(outcome.empty()) << recording;
  const std::string package = PathInDirectory(name + ".dat");
  ASSERT_EQ(
      std::system(("KESTRO_PACKAGE=" KESTRO_PACKAGE_PROGRAM " " KESTRO_REPLAY_PACKAGE_SCRIPT " '" +
                   package + "' >/dev/null")
                      .c_str()),
      0);

  // The server, its lines into a file.
  const std::string said = PathInDirectory("server.out");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, said.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<std::string> argv = {KESTRO_LINK_SERVER_PROGRAM,
                                   "--replay",
                                   recording,
                                   "--package",
                                   package,
                                   "--port",
                                   "0",
                                   "--fast"};
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_t server = -1;
  ASSERT_EQ(posix_spawn(&server, pointers[0], &actions, nullptr, pointers.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // The match points into the text it was found in, which must outlive it.
  std::string text;
  std::smatch port;
  for (int i = 0; i < 200; ++i) {
    text = ReadAll(said);
    if (std::regex_search(text, port, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"))) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_FALSE(port.empty()) << ReadAll(said);

  auto controller = LinkedController::Connect(static_cast<std::uint16_t>(std::stoi(port[1])));
  ASSERT_NE(controller, nullptr) << ReadAll(said);
  ASSERT_NE(controller->PlugInto(bed), nullptr);
  const Completion run = RunProgram({"--yes", package});
  int status = -1;
  waitpid(server, &status, 0);
  const std::string verdict = ReadAll(said);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << verdict << "\nthe updater said:\n"
                                                             << run.out << run.err;
  EXPECT_TRUE(Contains(verdict, "replay complete")) << verdict;
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, outcome == "succeeded" ? 0 : 1) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Recordings, ReplayedTest,
                         ::testing::ValuesIn(std::vector<ReplayedCase>{{"normal_whole"},
                                                                       {"boot_whole"},
                                                                       {"normal_failure"},
                                                                       {"boot_failure"},
                                                                       {"normal_unplug"},
                                                                       {"boot_unplug"},
                                                                       {"normal_slow"},
                                                                       {"boot_slow"}}),
                         RowName());

}  // namespace
}  // namespace kestro::hidraw::testing
