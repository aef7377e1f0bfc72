// kestro-update, the real program, against emulated controllers on emulated hidraw nodes: the
// version it shows, whole updates of both protocols byte for byte, the question before an
// update, waiting for a controller (one restarting into boot mode too), a controller unplugged in
// the middle of an update, and Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "platform/hidraw/HidrawPort.h"
#include "platform/record/Recording.h"
#include "tests/hidraw/ProgramFixture.h"
#include "update/BootWire.h"
#include "update/FramedUpdate.h"
#include "update/FramedWire.h"

namespace kestro::hidraw::testing {
namespace {

const char* ModeName(Mode mode) { return mode == Mode::kNormal ? "normal-mode" : "boot-mode"; }

// The transfer's span by the controller's own event log: from the first image block to the end,
// without what comes before it (the boot protocol's second of settling after its start).
class TransferClock {
 public:
  std::function<void(const std::string&)> Log() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_mutex);
      const auto now = std::chrono::steady_clock::now();
      if (!m_first && line.rfind("block 0:", 0) == 0) m_first = now;
      if (line == "end" || line == "finish") m_last = now;
    };
  }
  std::optional<double> SpanMs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_first || !m_last) return std::nullopt;
    return std::chrono::duration<double, std::milli>(*m_last - *m_first).count();
  }

 private:
  mutable std::mutex m_mutex;
  std::optional<std::chrono::steady_clock::time_point> m_first;
  std::optional<std::chrono::steady_clock::time_point> m_last;
};

// --- the version, without a package

struct VersionCase {
  const char* name;
  Mode mode;
  std::uint32_t version;
  const char* title;  // none: a controller without firmware, told how to update it
};

class VersionTest : public ProgramTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, ShowsTheTitleTheWindowsProgramShows) {
  const VersionCase& c = GetParam();
  sim::NormalConfig normal;
  normal.version = c.version;
  sim::BootConfig boot;
  boot.version = c.version;
  const Controller controller = PlugController(c.mode, normal, boot);
  ASSERT_NE(controller.node, nullptr);

  const Completion run = RunProgram({});
  ASSERT_TRUE(run.exited) << run.err;
  if (c.title != nullptr) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string(c.title) + "\n");
  } else {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, Lines(ProgramText(kTextInstructions))[0]))
        << run.out << run.err;
  }
  EXPECT_TRUE(controller.NothingOfAnUpdate());
}

constexpr std::uint32_t kNoFirmware = 0xFFFFFFFF;

const VersionCase kVersions[] = {
    {"Normal", Mode::kNormal, 123, "Kestro Update v2.00(GamePad V1.23)"},
    {"NormalBeta", Mode::kNormal, (2 << 16) | 261, "Kestro Update v2.00(GamePad V2.61 beta2)"},
    {"Boot", Mode::kBoot, 123, "Kestro Update v2.00(Fw v1.2)"},
    {"NormalWithoutFirmware", Mode::kNormal, kNoFirmware, nullptr},
    {"BootWithoutFirmware", Mode::kBoot, kNoFirmware, nullptr}};
INSTANTIATE_TEST_SUITE_P(Modes, VersionTest, ::testing::ValuesIn(kVersions), RowName());

TEST_F(ProgramTest, AControllerThatDoesNotAnswerTheVersionQueryIsToldOf) {
  sim::NormalConfig silent;
  silent.faults.silent = true;
  ASSERT_NE(PlugController(Mode::kNormal, silent).node, nullptr);

  const Completion run = RunProgram({});
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kestro-update: the controller did not answer the version query\n");
}

// --- the command line itself

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  bool onStandardOutput;  // else on standard error
};

class UsageTest : public ProgramTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageTest, HelpIsAnAnswerAndAWrongOptionAnError) {
  const UsageCase& c = GetParam();
  const Completion run = RunProgram(c.arguments);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status);
  const std::string& usage = c.onStandardOutput ? run.out : run.err;
  EXPECT_EQ(usage.rfind("usage: kestro-update", 0), 0u) << usage;
  EXPECT_EQ(usage.back(), '\n');
  EXPECT_EQ((c.onStandardOutput ? run.err : run.out), "");
}

const UsageCase kUsages[] = {{"Help", {"--help"}, 0, true},
                             {"Short", {"-h"}, 0, true},
                             {"UnknownOption", {"--frobnicate"}, 64, false},
                             {"TwoPackages", {"a.dat", "b.dat"}, 64, false}};
INSTANTIATE_TEST_SUITE_P(Arguments, UsageTest, ::testing::ValuesIn(kUsages), RowName());

// --- whole updates

struct UpdateCase {
  const char* name;
  Mode mode;
  std::size_t length;
  std::uint16_t version;
  std::uint16_t beta;
  const char* shownVersion;  // as the offer shows it
  bool chinese;
  bool measure;                         // print the time per block
  const char* fileName = "update.dat";  // a Linux file name is bytes in whatever encoding
  bool record = false;                  // with --record: the recording is the session's
};

// What --record wrote is the session: the controller and the package in its first line, every
// report written in order, the image chosen, and the outcome.
void ExpectRecordingOf(const std::string& path, const Controller& controller,
                       const Package& package, const std::string& fileName) {
  std::ifstream file(path);
  std::string line;
  ASSERT_TRUE(std::getline(file, line)) << "no recording at " << path;
  const std::optional<record::Header> header = record::ParseHeader(line);
  ASSERT_TRUE(header.has_value()) << line;
  EXPECT_EQ(header->controller.path, controller.node->Place().devnode);
  EXPECT_EQ(header->controller.mode, controller.boot ? "boot" : "normal");
  ASSERT_TRUE(header->package.has_value());
  EXPECT_EQ(header->package->name, fileName);
  EXPECT_EQ(header->package->size, std::filesystem::file_size(package.path));
  std::vector<std::vector<std::uint8_t>> outs;
  std::optional<record::Event> image;
  std::optional<record::Event> outcome;
  std::uint64_t last = 0;
  while (std::getline(file, line)) {
    const std::optional<record::Event> event = record::ParseEvent(line);
    ASSERT_TRUE(event.has_value()) << line;
    EXPECT_GE(event->t, last);
    last = event->t;
    if (event->kind == record::Event::Kind::kOut) {
      outs.emplace_back(event->report.begin(), event->report.end());
    }
    if (event->kind == record::Event::Kind::kImage) image = event;
    if (event->kind == record::Event::Kind::kOutcome) outcome = event;
  }
  std::vector<std::vector<std::uint8_t>> written;
  for (const WrittenReport& write : controller.node->Writes()) {
    written.emplace_back(write.bytes.begin() + 1, write.bytes.end());
  }
  EXPECT_EQ(outs, written);
  ASSERT_TRUE(image.has_value());
  const sim::PackageRecord& record = controller.boot ? package.boot : package.normal;
  EXPECT_EQ(image->image.record, controller.boot ? 1 : 0);
  EXPECT_EQ(image->image.length, record.image.size());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->outcome, "succeeded");
  EXPECT_EQ(outcome->text, ProgramText(kTextUpgraded));
}

class WholeUpdateTest : public ProgramTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(WholeUpdateTest, ControllerHoldsExactlyThePackagesImage) {
  const UpdateCase& c = GetParam();
  const Package package = WriteUpdate(c.length, 1, c.version, c.beta, c.fileName);
  const Controller controller = PlugController(c.mode);
  ASSERT_NE(controller.node, nullptr);
  TransferClock transfer;
  if (controller.normal) controller.normal->SetEventLog(transfer.Log());
  if (controller.boot) controller.boot->SetEventLog(transfer.Log());

  RunOptions options;
  options.chinese = c.chinese;
  const std::string recording = PathInDirectory("session.jsonl");
  std::vector<std::string> arguments = {"--yes", package.path};
  if (c.record) arguments.insert(arguments.begin(), {"--record", recording});
  const Completion run = RunProgram(arguments, options);
  ASSERT_TRUE(run.exited) << run.err;
  const std::string offer = ProgramText(kTextNewFirmware, c.chinese) + " " + c.shownVersion;
  EXPECT_TRUE(Contains(run.out, offer)) << run.out;
  ExpectWholeUpdate(run, controller, package, c.chinese);
  if (c.record) ExpectRecordingOf(recording, controller, package, c.fileName);
  if (controller.boot) {
    EXPECT_EQ(controller.boot->BytesBeyondRange(), 0u);
    EXPECT_EQ(controller.boot->VersionWord(),
              std::optional<std::uint32_t>(c.version | (std::uint32_t{c.beta} << 16)));
  }
  EXPECT_TRUE(AllWritesWereReports(*controller.node));

  const std::optional<double> spanMs = transfer.SpanMs();
  EXPECT_TRUE(spanMs.has_value()) << "the controller's log has no whole transfer";
  if (c.measure && spanMs) {
    const std::size_t blockBytes = c.mode == Mode::kNormal ? framed::kBlockSize : kBootBlockSize;
    const std::size_t blocks = (c.length + blockBytes - 1) / blockBytes;
    std::printf(
        "[ measured ] %s protocol%s, %zu KiB through umockdev: %zu blocks, %.3f ms per block "
        "(transfer %.0f ms, whole run %lld ms)\n",
        ModeName(c.mode), c.record ? " recorded" : "", c.length / 1024, blocks,
        *spanMs / static_cast<double>(blocks), *spanMs,
        static_cast<long long>(run.elapsed.count()));
  }
}

const UpdateCase kUpdates[] = {
    {"NormalShortLastBlock", Mode::kNormal, 100, 123, 0, "1.2", false, false},
    {"BootShortLastBlockBeta", Mode::kBoot, 100, 261, 2, "2.6 beta2", false, false},
    {"Normal64KiB", Mode::kNormal, 64 * 1024, 123, 0, "1.2", false, true},
    {"Boot64KiB", Mode::kBoot, 64 * 1024, 123, 0, "1.2", false, true},
    {"Normal64KiBRecorded", Mode::kNormal, 64 * 1024, 123, 0, "1.2", false, true, "update.dat",
     true},
    {"Boot64KiBRecorded", Mode::kBoot, 64 * 1024, 123, 0, "1.2", false, true, "update.dat", true},
    {"NormalInChinese", Mode::kNormal, 100, 123, 0, "1.2", true, false},
    {"BootInChinese", Mode::kBoot, 100, 123, 0, "1.2", true, false},
    {"PackageNamedInChineseAndNoUtf8", Mode::kNormal, 100, 123, 0, "1.2", true, false,
     "固件 \xFF.dat"}};
INSTANTIATE_TEST_SUITE_P(Updates, WholeUpdateTest, ::testing::ValuesIn(kUpdates), RowName());

// --- the question before an update

struct AnswerCase {
  const char* name;
  const char* input;
  bool goesOn;
};

class AnswerTest : public ProgramTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, OnlyYesStartsTheUpdate) {
  const AnswerCase& c = GetParam();
  const Package package = WriteUpdate(100, 3);
  const Controller controller = PlugController(Mode::kNormal);
  ASSERT_NE(controller.node, nullptr);

  RunOptions options;
  options.input = c.input;
  const Completion run = RunProgram({package.path}, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_TRUE(Contains(run.out, ProgramText(kTextNewFirmware) + " 1.2")) << run.out;
  EXPECT_TRUE(Contains(run.out, "Update? [y/N] ")) << run.out;
  if (c.goesOn) {
    ExpectWholeUpdate(run, controller, package);
  } else {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(controller.NothingOfAnUpdate());
    EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
  }
}

const AnswerCase kAnswers[] = {{"Y", "y\n", true},
                               {"Yes", "yes\n", true},
                               {"No", "n\n", false},
                               {"JustEnter", "\n", false},
                               {"SomethingElse", "sure\n", false},
                               {"EndOfInput", "", false}};
INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest, ::testing::ValuesIn(kAnswers), RowName());

// --- waiting for a controller: one plugged in later, or one restarting into boot mode

// A controller that leaves as soon as it is asked anything (its version), as one restarting into
// boot mode does, and comes back as the boot loader a moment later.
class RestartingController : public sim::Device {
 public:
  RestartingController(std::shared_ptr<sim::NormalController> inner, std::function<void()> comeBack)
      : m_inner(std::move(inner)), m_comeBack(std::move(comeBack)) {}
  std::uint16_t VendorId() const override { return m_inner->VendorId(); }
  std::uint16_t ProductId() const override { return m_inner->ProductId(); }
  void OnOutput(const sim::OutputReport&, sim::DeviceHost& host) override {
    if (m_left) return;
    m_left = true;
    host.Detach();
    m_comeBack();
  }

 private:
  std::shared_ptr<sim::NormalController> m_inner;
  std::function<void()> m_comeBack;
  bool m_left = false;
};

enum class Arrival {
  kLater,                   // a normal-mode controller, plugged in 500 ms after the start
  kNever,                   // none
  kRestarting,              // a controller that restarts into boot mode at the version query
  kRestartingWithoutModel,  // ... into a boot loader that never tells its model
};

struct WaitCase {
  const char* name;
  Arrival arrival;
  int waitSeconds;  // --wait --timeout this; 0: no --wait
  int status;
  const char* error = nullptr;  // a failure's first line on standard error, after the name
  bool instructions = true;     // ... and then the instructions, else that line alone
};

class WaitTest : public ProgramTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, AControllerThatComesLaterIsUpdatedOnlyWhenWaitedFor) {
  const WaitCase& c = GetParam();
  const Package package = WriteUpdate(4096, 7);
  const bool restarting =
      c.arrival == Arrival::kRestarting || c.arrival == Arrival::kRestartingWithoutModel;
  sim::BootConfig boot;
  if (c.arrival == Arrival::kRestartingWithoutModel) boot.faults.silentTo = sim::BOOT_GET_INFO;
  // The controller that comes: plugged in later, or the boot loader coming back.
  const Controller controller = MakeController(restarting ? Mode::kBoot : Mode::kNormal, {}, boot);
  const auto plug = [this, device = controller.Device()] { bed.Plug(device); };
  if (c.arrival == Arrival::kLater) bed.Loop().Post(plug, 500);
  if (restarting) {
    ASSERT_NE(bed.Plug(std::make_shared<RestartingController>(
                  std::make_shared<sim::NormalController>(),
                  [this, plug] { bed.Loop().Post(plug, 300); })),
              nullptr);
  }

  std::vector<std::string> arguments = {"--yes", package.path};
  if (c.waitSeconds != 0) {
    arguments.insert(arguments.begin(), {"--wait", "--timeout", std::to_string(c.waitSeconds)});
  }
  const Completion run = RunProgram(arguments);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.err;
  if (c.status == 0) {
    ExpectWholeUpdate(run, controller, package);
    return;
  }
  EXPECT_TRUE(controller.NothingOfAnUpdate());
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], std::string("kestro-update: ") + c.error) << run.err;
  if (c.instructions) {
    EXPECT_TRUE(Contains(run.err, Lines(ProgramText(kTextInstructions))[0])) << run.err;
  } else {
    EXPECT_EQ(lines.size(), 1u) << run.err;
  }
}

const WaitCase kWaits[] = {
    {"PluggedInLater", Arrival::kLater, 3, 0},
    {"NeverPluggedIn", Arrival::kNever, 3, 2, "no controller found"},
    {"RestartedIntoBootMode", Arrival::kRestarting, 5, 0},
    {"RestartedNotWaitedFor", Arrival::kRestarting, 0, 2, "the controller went away"},
    {"RestartedIntoABootLoaderWithoutItsModel", Arrival::kRestartingWithoutModel, 5, 1,
     "Get gamepad info error", false}};
INSTANTIATE_TEST_SUITE_P(Waits, WaitTest, ::testing::ValuesIn(kWaits), RowName());

// --- unplugged during the transfer

enum class Fault {
  kUnplug,      // the controller goes away instead of taking the block
  kStall,       // it takes no output report from the block on: each write waits 5 s and fails
  kNoiseBurst,  // 70 reports to ignore before every answer: more than a file's ring keeps
};

// A controller that takes no more reports ends the update at its next write: the kernel's bound.
constexpr std::chrono::milliseconds kStallBound{kKernelWriteBoundMs + 5000};
// A lost answer ends the framed transfer at its silence bound; boot blocks fail at once.
constexpr std::chrono::milliseconds kBurstBound{kSilenceBoundMs + 5000};

struct UnplugCase {
  const char* name;
  Mode mode;
  int block;  // where the fault strikes
  Fault fault = Fault::kUnplug;
  // The stated bound of the whole run (the kernel's write bound and the protocol's own).
  std::chrono::milliseconds bound{10000};
};

class UnplugTest : public ProgramTest, public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(UnplugTest, ProgramEndsWithTheFailureInItsBound) {
  const UnplugCase& c = GetParam();
  const Package package = WriteUpdate(64 * 1024, 4);
  sim::NormalConfig normal;
  sim::BootConfig boot;
  switch (c.fault) {
    case Fault::kUnplug:
      normal.faults.detachAtBlock = boot.faults.detachAtBlock = c.block;
      break;
    case Fault::kStall:
      normal.faults.stallAtBlock = boot.faults.stallAtBlock = c.block;
      break;
    case Fault::kNoiseBurst:
      normal.faults.noiseBurst = boot.faults.noiseBurst = 70;
      break;
  }
  const Controller controller = PlugController(c.mode, normal, boot);
  ASSERT_NE(controller.node, nullptr);

  const Completion run = RunProgram({"--yes", package.path});
  // Ended of itself within its bound (not killed at the test's), as a failure; under a burst of
  // noise a success is as good, if the controller holds the image.
  ASSERT_TRUE(run.exited) << (run.killedAtBound ? "still running at the bound\n" : "") << run.err;
  EXPECT_LT(run.elapsed, c.bound);
  EXPECT_EQ(controller.node->Gone(), c.fault == Fault::kUnplug);
  if (c.fault == Fault::kNoiseBurst && run.status == 0) {
    ExpectWholeUpdate(run, controller, package);
  } else {
    ExpectFailedUpdate(run, controller, package);
  }
  std::printf("[ measured ] %s, %s controller: the program ended %lld ms after its start\n", c.name,
              ModeName(c.mode), static_cast<long long>(run.elapsed.count()));
}

const UnplugCase kUnplugs[] = {
    {"Normal", Mode::kNormal, 40},
    {"Boot", Mode::kBoot, 40},
    {"StallNormal", Mode::kNormal, 40, Fault::kStall, kStallBound},
    {"StallBoot", Mode::kBoot, 40, Fault::kStall, kStallBound},
    {"NoiseBurstNormal", Mode::kNormal, 0, Fault::kNoiseBurst, kBurstBound},
    {"NoiseBurstBoot", Mode::kBoot, 0, Fault::kNoiseBurst, kBurstBound}};
INSTANTIATE_TEST_SUITE_P(Modes, UnplugTest, ::testing::ValuesIn(kUnplugs), RowName());

// --- Ctrl-C

// The frames a user's Ctrl-C is timed by.
enum class Frame { kVersionQuery, kImageBlock, kBootStart, kVersionWord, kFinish };

// The framed protocol's commands (at byte 6 of a report) and the boot protocol's (at byte 2).
const std::map<std::uint8_t, Frame> kFramedCommands = {{GET_DEVICE_VERSION, Frame::kVersionQuery},
                                                       {SET_FIRMWARE_DATA, Frame::kImageBlock},
                                                       {SET_FIRMWARE_END, Frame::kFinish}};
const std::map<std::uint16_t, Frame> kBootCommands = {{sim::BOOT_GET_INFO, Frame::kVersionQuery},
                                                      {sim::BOOT_WRITE_IMAGE, Frame::kImageBlock},
                                                      {sim::BOOT_START, Frame::kBootStart},
                                                      {sim::BOOT_WRITE_PARAM, Frame::kVersionWord},
                                                      {sim::BOOT_FINISH, Frame::kFinish}};

std::optional<Frame> KindOf(const sim::OutputReport& report) {
  if (report[2] == 0x00 && report[3] == FIRMWARE_PACKET) {
    const auto found = kFramedCommands.find(report[6]);
    if (found != kFramedCommands.end()) return found->second;
  } else if (report[1] == 5 && report[3] == 0) {
    const auto found = kBootCommands.find(report[2]);
    if (found != kBootCommands.end()) return found->second;
  }
  return std::nullopt;
}

// A Ctrl-C when the index-th frame of a kind arrives, delayed a little when `laterMs` is set (a
// second press at the same frame must come after the first has been taken).
struct Press {
  Frame at;
  int index;
  std::uint32_t laterMs = 0;
};

// A controller that presses Ctrl-C on the program at chosen frames, as a user watching the
// progress would, and notes when it last did.
class InterruptingController : public sim::Device {
 public:
  InterruptingController(std::shared_ptr<sim::Device> inner, std::string pidFile,
                         std::vector<Press> presses, LoopThread& loop)
      : m_inner(std::move(inner)),
        m_pidFile(std::move(pidFile)),
        m_presses(std::move(presses)),
        m_loop(loop) {}
  std::uint16_t VendorId() const override { return m_inner->VendorId(); }
  std::uint16_t ProductId() const override { return m_inner->ProductId(); }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    if (const std::optional<Frame> frame = KindOf(report)) {
      const int index = m_seen[*frame]++;
      for (const Press& press : m_presses) {
        if (press.at != *frame || press.index != index) continue;
        if (press.laterMs == 0) {
          Interrupt();
        } else {
          m_loop.Post([this] { Interrupt(); }, press.laterMs);
        }
      }
    }
    m_inner->OnOutput(report, host);
  }
  std::optional<std::chrono::steady_clock::time_point> LastPress() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastPress;
  }

 private:
  void Interrupt() {
    std::ifstream file(m_pidFile);
    pid_t pid = 0;
    if (file >> pid && pid > 0) kill(pid, SIGINT);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastPress = std::chrono::steady_clock::now();
  }
  std::shared_ptr<sim::Device> m_inner;
  std::string m_pidFile;
  std::vector<Press> m_presses;
  LoopThread& m_loop;
  std::map<Frame, int> m_seen;
  mutable std::mutex m_mutex;
  std::optional<std::chrono::steady_clock::time_point> m_lastPress;
};

// Before anything is written, Ctrl-C ends the program as it ends any other.
constexpr int kEndedByCtrlC = -2;

// What keeps the program waiting where a press comes.
struct Faults {
  sim::NormalFaults normal;
  sim::BootFaults boot;
};

struct InterruptCase {
  const char* name;
  Mode mode;
  std::vector<Press> presses;
  int status;  // 0: the update went through whole
  Faults faults = {};
};

class InterruptTest : public ProgramTest, public ::testing::WithParamInterface<InterruptCase> {};

// The first Ctrl-C of a transfer only warns; the second stops it, in whatever it is waiting for,
// within a second. Before the transfer, the first Ctrl-C ends the program at once.
TEST_P(InterruptTest, TheFirstCtrlCWarnsAndTheSecondStopsPromptlyAsAFailure) {
  const InterruptCase& c = GetParam();
  const Package package = WriteUpdate(16 * 1024, 4);
  const std::string pidFile = PathInDirectory("program.pid");
  sim::NormalConfig normal;
  normal.faults = c.faults.normal;
  sim::BootConfig boot;
  boot.faults = c.faults.boot;
  const Controller controller = MakeController(c.mode, normal, boot);
  auto interrupting =
      std::make_shared<InterruptingController>(controller.Device(), pidFile, c.presses, bed.Loop());
  ASSERT_NE(bed.Plug(interrupting), nullptr);

  RunOptions options;
  options.pidFile = pidFile;
  const auto started = std::chrono::steady_clock::now();
  const Completion run = RunProgram({"--yes", package.path}, options);
  ASSERT_FALSE(run.killedAtBound) << run.err;
  EXPECT_EQ(run.exited ? run.status : kEndedByCtrlC, c.status) << run.err;
  const auto lastPress = interrupting->LastPress();
  ASSERT_TRUE(lastPress.has_value());
  // Only a press that stops the program bounds its end.
  if (c.presses.size() > 1 || c.status == kEndedByCtrlC) {
    EXPECT_LT(started + run.elapsed - *lastPress, std::chrono::seconds(1)) << run.err;
  }

  if (c.status == kEndedByCtrlC) {
    EXPECT_TRUE(controller.NothingOfAnUpdate());
    return;
  }
  EXPECT_TRUE(Contains(run.err, "being written")) << run.err;
  if (c.status == 0) {
    ExpectWholeUpdate(run, controller, package);
  } else {
    ExpectFailedUpdate(run, controller, package);
    EXPECT_TRUE(Contains(run.err, ProgramText(kTextInstructions))) << run.err;
  }
}

Faults Silent() {
  Faults faults;
  faults.normal.silent = true;
  return faults;
}
Faults BusyStarting() {
  Faults faults;
  faults.boot.busyForMs = 60000;
  return faults;
}
Faults SilentTo(int command) {
  Faults faults;
  faults.boot.silentTo = command;
  return faults;
}

const InterruptCase kPresses[] = {
    {"VersionQuery", Mode::kNormal, {{Frame::kVersionQuery, 0}}, kEndedByCtrlC, Silent()},
    {"OnceNormal", Mode::kNormal, {{Frame::kImageBlock, 20}}, 0},
    {"BlocksNormal", Mode::kNormal, {{Frame::kImageBlock, 20}, {Frame::kImageBlock, 60}}, 1},
    {"OnceBoot", Mode::kBoot, {{Frame::kImageBlock, 20}}, 0},
    {"StartBoot", Mode::kBoot, {{Frame::kBootStart, 1}, {Frame::kBootStart, 3}}, 1, BusyStarting()},
    {"BlocksBoot", Mode::kBoot, {{Frame::kImageBlock, 20}, {Frame::kImageBlock, 60}}, 1},
    {"VersionWordBoot",
     Mode::kBoot,
     {{Frame::kVersionWord, 0}, {Frame::kVersionWord, 0, 50}},
     1,
     SilentTo(sim::BOOT_WRITE_PARAM)},
    // The finish is sent before either press is taken: the update went through.
    {"FinishBoot",
     Mode::kBoot,
     {{Frame::kFinish, 0}, {Frame::kFinish, 0, 20}},
     0,
     SilentTo(sim::BOOT_FINISH)},
    {"FinishNormal", Mode::kNormal, {{Frame::kFinish, 0}, {Frame::kFinish, 0, 20}}, 0}};
INSTANTIATE_TEST_SUITE_P(Presses, InterruptTest, ::testing::ValuesIn(kPresses), RowName());

}  // namespace
}  // namespace kestro::hidraw::testing
