// A recording played by the link server against a client that plays the program's side.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "platform/link/LinkLine.h"
#include "tests/e2e/LinkClient.h"
#include "tools/linkserver/Replay.h"

namespace kestro::link {
namespace {

using record::Event;
using Kind = Event::Kind;
using Clock = std::chrono::steady_clock;

// 64 payload bytes: `hex`, then zeros.
std::string Padded(const std::string& hex) { return hex + std::string(128 - hex.size(), '0'); }

Event At(std::uint64_t ms, Kind kind, const std::string& hex = "") {
  Event event;
  event.kind = kind;
  event.t = ms * 1000;
  if (!hex.empty()) ParseHex(Padded(hex), event.report.data(), event.report.size());
  return event;
}

record::Header Header(const std::string& mode = "normal") {
  return {
      "kestro-update 2.0.0",
      {"/dev/hidraw0", 0x3A7C, static_cast<std::uint16_t>(mode == "boot" ? 0x3002 : 0x5750), mode},
      std::nullopt};
}

std::string Text(const std::vector<Event>& events, const std::string& mode = "normal") {
  std::string text = record::HeaderLine(Header(mode));
  for (const Event& event : events) text += record::EventLine(event);
  return text;
}

// What the program does, in order: "> HEX" writes a report, "< HEX" expects it as input, any
// other text is the next line expected from the server.
struct Case {
  const char* name;
  const char* mode;
  std::vector<Event> recording;
  std::vector<std::string> program;
  bool complete;
  std::vector<std::string> said;  // parts of what the replay says at its end
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The framed protocol's reports, and the boot protocol's BOOT_START with its answers.
const std::string kVersion = "050016010004", kRequest = "05001a010000", kFailed = "05001d010000";
const std::string kStart = "050400000000000000100000000040000008", kBusy = "000510000400";

ReplayResult Play(const std::vector<Event>& events, const std::string& mode, bool fast,
                  const std::vector<std::string>& program) {
  std::string error;
  std::optional<Recording> recording = ParseRecording(Text(events, mode), error);
  EXPECT_TRUE(recording) << error;
  LinkServer server;
  Replay replay(server, "kestro0", std::move(*recording), fast);
  replay.Attach();
  EXPECT_TRUE(server.Start(0));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  auto result = std::async(std::launch::async, [&] {
    return replay.Run([&] { return Clock::now() < deadline ? nullptr : "time-out"; });
  });
  Client client(server.Port());
  client.Send("hello 1\n");
  EXPECT_EQ(client.Line(),
            mode == "boot" ? "attach kestro0 3a7c 3002" : "attach kestro0 3a7c 5750");
  EXPECT_EQ(client.Line(), "ready");
  for (const std::string& step : program) {
    if (step[0] == '>') {
      client.Send("output kestro0 00" + Padded(step.substr(2)) + "\n");
    } else if (step[0] == '<') {
      EXPECT_EQ(client.Line(), "input kestro0 " + Padded(step.substr(2)));
    } else {
      EXPECT_EQ(client.Line(), step);
    }
  }
  client.Close();
  return result.get();
}

class ReplayTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReplayTest, PlaysTheRecordedController) {
  const Case& c = GetParam();
  const ReplayResult result = Play(c.recording, c.mode, true, c.program);
  EXPECT_EQ(result.complete, c.complete) << result.text;
  for (const std::string& part : c.said)
    EXPECT_NE(result.text.find(part), std::string::npos) << result.text;
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, ReplayTest,
    ::testing::Values(
        Case{"Matches",
             "normal",
             {At(0, Kind::kOut, kVersion), At(200, Kind::kTimeout), At(210, Kind::kIn, "0916"),
              At(300, Kind::kOut, kRequest), At(310, Kind::kIn, "0a19"), At(320, Kind::kIn, "0b19"),
              At(400, Kind::kOutcome)},
             {"> " + kVersion, "< 0916", "> " + kRequest, "< 0a19", "< 0b19"},
             true,
             {"replay complete: 2 of 2 recorded reports matched"}},
        Case{"Diverges",
             "normal",
             {At(0, Kind::kOut, kVersion), At(10, Kind::kIn, "0916"), At(20, Kind::kOut, kRequest)},
             {"> " + kVersion, "< 0916", "> 0500190100"},
             false,
             {"diverged at out 1 (line 4, t 0.020000 s): expected " + Padded(kRequest) +
                  ", received " + Padded("0500190100"),
              "first difference at byte 2 (expected 1a, received 19)"}},
        Case{"RemovedWhereRecorded",
             "normal",
             {At(0, Kind::kOut, kVersion), At(10, Kind::kIn, "0916"), At(30, Kind::kRemoved),
              At(40, Kind::kReadFailed)},
             {"> " + kVersion, "< 0916", "detach kestro0", "notify removal"},
             true,
             {"complete"}},
        // Recorded ones need not come, unrecorded ones (their tails left by earlier reports)
        // change nothing, and none is answered.
        Case{"RecvFailedTakesNoPart",
             "normal",
             {At(0, Kind::kOut, kVersion), At(200, Kind::kOut, kFailed),
              At(400, Kind::kOut, kFailed), At(410, Kind::kIn, "0916"),
              At(420, Kind::kOut, kRequest), At(430, Kind::kOut, kFailed),
              At(440, Kind::kIn, "0a19")},
             {"> " + kVersion, "> " + kFailed, "< 0916", "> " + kRequest, "> " + kFailed + "ff",
              "> " + kFailed, "< 0a19"},
             true,
             {"2 of 2 recorded reports matched (RECV_FAILED aside: 3 recorded, 3 sent)"}},
        // A boot loader's busy answers each bring one resend; a further one is the program's.
        Case{"BootResendIsNoTiming",
             "boot",
             {At(0, Kind::kOut, kStart), At(1000, Kind::kIn, kBusy), At(1000, Kind::kOut, kStart),
              At(1500, Kind::kIn, "000500000400"), At(1600, Kind::kOut, "050300")},
             {"> " + kStart, "< " + kBusy, "> " + kStart, "< 000500000400", "> " + kStart},
             false,
             {"diverged at out 2", "first difference at byte 1 (expected 03, received 04)"}},
        Case{"RecvFailedToABootLoader",
             "boot",
             {At(0, Kind::kOut, kStart)},
             {"> " + kFailed},
             false,
             {"diverged at out 0"}},
        Case{
            "ProgramGoesEarly",
            "normal",
            {At(0, Kind::kOut, kVersion), At(10, Kind::kIn, "0916"), At(20, Kind::kOut, kRequest)},
            {"> " + kVersion, "< 0916"},
            false,
            {"the program went after 1 of 2 recorded reports matched; the next is out 1 (line 4"}}),
    [](const auto& info) { return std::string(info.param.name); });

// An answer comes at its recorded distance from the report before it that the program wrote
// (never sooner), or at once when fast: a whole replay then takes less. Measured, and printed.
TEST(ReplayPaceTest, AnswersAtTheRecordedDistanceOrAtOnce) {
  for (const bool fast : {false, true}) {
    const auto start = Clock::now();
    EXPECT_TRUE(Play({At(0, Kind::kOut, kVersion), At(600, Kind::kOut, kFailed),
                      At(1000, Kind::kIn, "0916")},
                     "normal", fast, {"> " + kVersion, "< 0916"})
                    .complete);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("%s: %lld ms for an answer recorded 1000 ms after its report\n",
                fast ? "fast" : "paced", static_cast<long long>(ms));
    EXPECT_TRUE(fast ? ms < 1000 : ms >= 1000) << ms;
  }
}

TEST(ReplayPackageTest, OnlyTheRecordingsPackageIsTaken) {
  const std::filesystem::path in = std::filesystem::temp_directory_path() / "replay-package";
  std::filesystem::create_directories(in / "other");
  std::ofstream(in / "fw.dat") << std::string(100, 'x');
  std::ofstream(in / "fw2.dat") << std::string(100, 'x');
  std::ofstream(in / "other/fw.dat") << std::string(99, 'x');
  record::Header header = Header();
  EXPECT_EQ(PackageMismatch(header, ""), "");  // a recording that needs none
  header.package = record::PackageFacts{"fw.dat", 100};
  const std::string facts = "the recording's package fw.dat (100 bytes)";
  for (const auto& [given, refusal] : std::vector<std::pair<std::string, std::string>>{
           {in / "fw.dat", ""},
           {"", "the recording was made with the package fw.dat (100 bytes): give --package"},
           {in / "fw2.dat", "--package " + (in / "fw2.dat").string() + ": not " + facts},
           {in / "other/fw.dat",
            "--package " + (in / "other/fw.dat").string() + ": 99 bytes, not " + facts},
           {in / "no.dat", "--package " + (in / "no.dat").string() + ": cannot read it"},
       }) {
    EXPECT_EQ(PackageMismatch(header, given), refusal) << given;
  }
  // The program refuses to start, in one line.
  std::ofstream(in / "rec.jsonl") << record::HeaderLine(header);
  const std::string command = std::string(KESTRO_LINK_SERVER) + " --replay " +
                              (in / "rec.jsonl").string() + " --package " +
                              (in / "fw2.dat").string() + " 2>" + (in / "said").string();
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
  std::stringstream said;
  said << std::ifstream(in / "said").rdbuf();
  EXPECT_EQ(said.str(),
            "kestro-link-server: --package " + (in / "fw2.dat").string() + ": not " + facts + "\n");
}

}  // namespace
}  // namespace kestro::link
