// A recording played by the link server against a client that plays the program's side.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
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
  record::Header header;
  header.program = "kestro-update 2.0.0";
  header.controller = {"/dev/hidraw0", 0x3A7C,
                       static_cast<std::uint16_t>(mode == "boot" ? 0x3002 : 0x5750), mode};
  return header;
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

ReplayResult Play(const std::string& text, bool fast, const std::vector<std::string>& program,
                  std::vector<long long>* answerMs = nullptr) {
  std::string error;
  std::optional<Recording> recording = ParseRecording(text, error);
  EXPECT_TRUE(recording) << error;
  char attach[32];
  std::snprintf(attach, sizeof attach, "attach kestro0 %04x %04x",
                recording->header.controller.vendorId, recording->header.controller.productId);
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
  EXPECT_EQ(client.Line(), attach);
  EXPECT_EQ(client.Line(), "ready");
  auto sent = Clock::now();
  for (const std::string& step : program) {
    if (step[0] == '>') {
      sent = Clock::now();
      client.Send("output kestro0 00" + Padded(step.substr(2)) + "\n");
    } else if (step[0] == '<') {
      EXPECT_EQ(client.Line(), "input kestro0 " + Padded(step.substr(2)));
      if (answerMs) {
        answerMs->push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
      }
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
  const ReplayResult result = Play(Text(c.recording, c.mode), true, c.program);
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
        Case{"NothingAfterTheLast",
             "normal",
             {At(0, Kind::kOut, kVersion)},
             {"> " + kVersion, "> " + kVersion},
             false,
             {"diverged after the recording's last report: received " + Padded(kVersion)}},
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
// (never sooner), or at once when fast. Measured, and printed.
TEST(ReplayPaceTest, AnswersAtTheRecordedDistanceOrAtOnce) {
  const std::string text = Text(
      {At(0, Kind::kOut, kVersion), At(600, Kind::kOut, kFailed), At(1000, Kind::kIn, "0916")});
  for (const bool fast : {false, true}) {
    std::vector<long long> answerMs;
    EXPECT_TRUE(Play(text, fast, {"> " + kVersion, "< 0916"}, &answerMs).complete);
    ASSERT_EQ(answerMs.size(), 1u);
    std::printf("%s: the answer came %lld ms after the report (recorded: 1000 ms)\n",
                fast ? "fast" : "paced", answerMs[0]);
    if (fast) {
      EXPECT_LT(answerMs[0], 1000);
    } else {
      EXPECT_GE(answerMs[0], 1000);
    }
  }
}

TEST(ReplayPackageTest, OnlyTheRecordingsPackageIsTaken) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "replay-package";
  std::filesystem::create_directories(folder);
  record::Header header = Header();
  header.package = record::PackageFacts{"fw.dat", 100};
  EXPECT_EQ(PackageMismatch(Header(), ""), "");  // a recording that needs none
  const std::string in = folder.string() + "/";
  struct Row {
    std::string file;  // written with `size` bytes first, unless empty
    int size;
    std::string given, refusal;
  };
  for (const Row& row : std::vector<Row>{
           {"fw.dat", 100, in + "fw.dat", ""},
           {"", 0, "",
            "the recording was made with the package fw.dat (100 bytes): give --package"},
           {"fw2.dat", 100, in + "fw2.dat",
            "--package " + in + "fw2.dat: not the recording's package fw.dat (100 bytes)"},
           {"fw.dat", 99, in + "fw.dat",
            "--package " + in + "fw.dat: 99 bytes, not the recording's package fw.dat (100 bytes)"},
           {"", 0, in + "nothing.dat", "--package " + in + "nothing.dat: cannot read it"},
       }) {
    if (!row.file.empty()) std::ofstream(folder / row.file) << std::string(row.size, 'x');
    EXPECT_EQ(PackageMismatch(header, row.given), row.refusal) << row.given;
  }

  // The program refuses to start, in one line.
  std::ofstream(folder / "rec.jsonl") << record::HeaderLine(header);
  const std::string command = std::string(KESTRO_LINK_SERVER) + " --replay " + in +
                              "rec.jsonl --package " + in + "fw2.dat 2>" + in + "said";
  const int status = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  std::ifstream said(folder / "said");
  std::string line, more;
  std::getline(said, line);
  EXPECT_EQ(line, "kestro-link-server: --package " + in +
                      "fw2.dat: not the recording's package fw.dat (100 bytes)");
  EXPECT_FALSE(std::getline(said, more));
}

TEST(ReplayRecordingTest, ALastLineCutShortIsLeftOut) {
  const std::string whole = Text({At(0, Kind::kOut, kVersion), At(5, Kind::kIn, "0916")});
  std::string error;
  const auto cut = ParseRecording(whole.substr(0, whole.size() - 20), error);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->events.size(), 1u);
  EXPECT_FALSE(ParseRecording(whole.substr(0, whole.size() - 20) + "\n", error));
  EXPECT_EQ(error, "line 3 is not an event of a recording");
}

}  // namespace
}  // namespace kestro::link
