// kestro-update, the real program, against emulated controllers on emulated hidraw nodes: the
// version it shows, whole updates of both protocols byte for byte, the question before an
// update, waiting for a controller, and a controller unplugged in the middle of an update.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "platform/hidraw/HidrawPort.h"
#include "tests/hidraw/ProgramFixture.h"
#include "update/FramedUpdate.h"

namespace kestro::hidraw::testing {
namespace {

enum class Mode { kNormal, kBoot };

// Image bytes per block: per SET_FIRMWARE_DATA in normal mode, per image frame in boot mode.
constexpr std::size_t kNormalBlockBytes = 32;
constexpr std::size_t kBootBlockBytes = 46;

// The controller under test in one of its two modes, on its node.
struct Plugged {
  std::shared_ptr<sim::NormalController> normal;
  std::shared_ptr<sim::BootController> boot;
  std::shared_ptr<EmulatedNode> node;
};

Plugged PlugController(HidrawTestbed& bed, Mode mode, sim::NormalConfig normal = {},
                       sim::BootConfig boot = {}) {
  Plugged plugged;
  if (mode == Mode::kNormal) {
    plugged.normal = std::make_shared<sim::NormalController>(normal);
    plugged.node = bed.Plug(plugged.normal);
  } else {
    plugged.boot = std::make_shared<sim::BootController>(boot);
    plugged.node = bed.Plug(plugged.boot);
  }
  return plugged;
}

bool Contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

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
// ---------------------------------------------------------------

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
  const Plugged plugged = PlugController(bed, c.mode, normal, boot);
  ASSERT_NE(plugged.node, nullptr);

  const Completion run = RunProgram({});
  ASSERT_TRUE(run.exited) << run.err;
  if (c.title != nullptr) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string(c.title) + "\n");
  } else {
    const std::string instructions = ProgramText(kTextInstructions);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, instructions.substr(0, instructions.find('\n'))))
        << run.out << run.err;
  }
  EXPECT_TRUE(plugged.normal ? NothingOfAnUpdate(*plugged.normal)
                             : NothingOfAnUpdate(*plugged.boot));
}

constexpr std::uint32_t kNoFirmware = 0xFFFFFFFF;

INSTANTIATE_TEST_SUITE_P(
    Modes, VersionTest,
    ::testing::Values(VersionCase{"Normal", Mode::kNormal, 123,
                                  "Kestro Update v2.00(GamePad V1.23)"},
                      VersionCase{"NormalBeta", Mode::kNormal, (2 << 16) | 261,
                                  "Kestro Update v2.00(GamePad V2.61 beta2)"},
                      VersionCase{"Boot", Mode::kBoot, 123, "Kestro Update v2.00(Fw v1.2)"},
                      VersionCase{"NormalWithoutFirmware", Mode::kNormal, kNoFirmware, nullptr},
                      VersionCase{"BootWithoutFirmware", Mode::kBoot, kNoFirmware, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgramTest, AControllerThatDoesNotAnswerTheVersionQueryIsToldOf) {
  sim::NormalConfig silent;
  silent.faults.silent = true;
  const Plugged plugged = PlugController(bed, Mode::kNormal, silent);
  ASSERT_NE(plugged.node, nullptr);

  const Completion run = RunProgram({});
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kestro-update: the controller did not answer the version query\n");
}

// --- the command line itself
// ----------------------------------------------------------------------

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

INSTANTIATE_TEST_SUITE_P(Arguments, UsageTest,
                         ::testing::Values(UsageCase{"Help", {"--help"}, 0, true},
                                           UsageCase{"Short", {"-h"}, 0, true},
                                           UsageCase{"UnknownOption", {"--frobnicate"}, 64, false},
                                           UsageCase{"TwoPackages", {"a.dat", "b.dat"}, 64, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- whole updates
// --------------------------------------------------------------------------------

struct UpdateCase {
  const char* name;
  Mode mode;
  std::size_t length;
  std::uint16_t version;
  std::uint16_t beta;
  const char* shownVersion;  // as the offer shows it
  bool chinese;
  bool measure;  // print the time per block
};

class WholeUpdateTest : public ProgramTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(WholeUpdateTest, ControllerHoldsExactlyThePackagesImage) {
  const UpdateCase& c = GetParam();
  // One image for each mode, so that the wrong choice shows.
  const std::vector<sim::PackageRecord> records = {
      Record(0, 0, c.length, 1, c.version, c.beta),
      Record(kBootModel, kBootVariant, c.length, 2, c.version, c.beta)};
  const std::string package = WritePackage("update.dat", records);
  const Plugged plugged = PlugController(bed, c.mode);
  ASSERT_NE(plugged.node, nullptr);
  TransferClock transfer;
  if (plugged.normal) plugged.normal->SetEventLog(transfer.Log());
  if (plugged.boot) plugged.boot->SetEventLog(transfer.Log());

  RunOptions options;
  options.chinese = c.chinese;
  const Completion run = RunProgram({"--yes", package}, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string offer = ProgramText(kTextNewFirmware, c.chinese) + " " + c.shownVersion;
  EXPECT_TRUE(Contains(run.out, offer)) << run.out;
  EXPECT_TRUE(Contains(run.out, ProgramText(kTextUpgraded, c.chinese))) << run.out;
  EXPECT_FALSE(Contains(run.err, ProgramText(kTextFailure, c.chinese))) << run.err;

  if (c.mode == Mode::kNormal) {
    EXPECT_EQ(plugged.normal->ReceivedImage(), records[0].image);
    EXPECT_TRUE(plugged.normal->Ended());
  } else {
    EXPECT_EQ(plugged.boot->FlashRange(kImageBase, static_cast<std::uint32_t>(c.length)),
              records[1].image);
    EXPECT_EQ(plugged.boot->BytesBeyondRange(), 0u);
    EXPECT_EQ(plugged.boot->VersionWord(),
              std::optional<std::uint32_t>(c.version | (std::uint32_t{c.beta} << 16)));
    EXPECT_TRUE(plugged.boot->Finished());
  }
  EXPECT_TRUE(AllWritesWereReports(*plugged.node));

  const std::optional<double> spanMs = transfer.SpanMs();
  EXPECT_TRUE(spanMs.has_value()) << "the controller's log has no whole transfer";
  if (c.measure && spanMs) {
    const std::size_t blockBytes = c.mode == Mode::kNormal ? kNormalBlockBytes : kBootBlockBytes;
    const std::size_t blocks = (c.length + blockBytes - 1) / blockBytes;
    std::printf(
        "[ measured ] %s protocol, %zu KiB through umockdev: %zu blocks, %.3f ms per block "
        "(transfer %.0f ms, whole run %lld ms)\n",
        c.mode == Mode::kNormal ? "normal-mode" : "boot-mode", c.length / 1024, blocks,
        *spanMs / static_cast<double>(blocks), *spanMs,
        static_cast<long long>(run.elapsed.count()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Updates, WholeUpdateTest,
    ::testing::Values(
        UpdateCase{"NormalShortLastBlock", Mode::kNormal, 100, 123, 0, "1.2", false, false},
        UpdateCase{"BootShortLastBlockBeta", Mode::kBoot, 100, 261, 2, "2.6 beta2", false, false},
        UpdateCase{"Normal64KiB", Mode::kNormal, 64 * 1024, 123, 0, "1.2", false, true},
        UpdateCase{"Boot64KiB", Mode::kBoot, 64 * 1024, 123, 0, "1.2", false, true},
        UpdateCase{"NormalInChinese", Mode::kNormal, 100, 123, 0, "1.2", true, false},
        UpdateCase{"BootInChinese", Mode::kBoot, 100, 123, 0, "1.2", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A Linux file name is bytes in whatever encoding: Chinese, and a byte that is no UTF-8 at all.
TEST_F(ProgramTest, APackageIsReadWhateverBytesItsNameHolds) {
  const std::vector<sim::PackageRecord> records = {Record(0, 0, 100, 9)};
  const std::string package = WritePackage("固件 \xFF.dat", records);
  const Plugged plugged = PlugController(bed, Mode::kNormal);
  ASSERT_NE(plugged.node, nullptr);

  RunOptions options;
  options.chinese = true;
  const Completion run = RunProgram({"--yes", package}, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(plugged.normal->ReceivedImage(), records[0].image);
}

// --- the question before an update
// ----------------------------------------------------------------

struct AnswerCase {
  const char* name;
  const char* input;
  bool goesOn;
};

class AnswerTest : public ProgramTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, OnlyYesStartsTheUpdate) {
  const AnswerCase& c = GetParam();
  const std::vector<sim::PackageRecord> records = {Record(0, 0, 100, 3)};
  const std::string package = WritePackage("update.dat", records);
  const Plugged plugged = PlugController(bed, Mode::kNormal);
  ASSERT_NE(plugged.node, nullptr);

  RunOptions options;
  options.input = c.input;
  const Completion run = RunProgram({package}, options);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_TRUE(Contains(run.out, ProgramText(kTextNewFirmware) + " 1.2")) << run.out;
  EXPECT_TRUE(Contains(run.out, "Update? [y/N] ")) << run.out;
  if (c.goesOn) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(plugged.normal->ReceivedImage(), records[0].image);
  } else {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(NothingOfAnUpdate(*plugged.normal));
    EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest,
                         ::testing::Values(AnswerCase{"Y", "y\n", true},
                                           AnswerCase{"Yes", "yes\n", true},
                                           AnswerCase{"No", "n\n", false},
                                           AnswerCase{"JustEnter", "\n", false},
                                           AnswerCase{"SomethingElse", "sure\n", false},
                                           AnswerCase{"EndOfInput", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- waiting for a controller
// ---------------------------------------------------------------------

struct WaitCase {
  const char* name;
  int plugAfterMs;  // -1: never
  int status;
};

class WaitTest : public ProgramTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTest, WaitsForAControllerPluggedInLater) {
  const WaitCase& c = GetParam();
  const std::vector<sim::PackageRecord> records = {Record(0, 0, 100, 6)};
  const std::string package = WritePackage("update.dat", records);
  auto controller = std::make_shared<sim::NormalController>();
  if (c.plugAfterMs >= 0) {
    bed.Loop().Post([this, controller] { bed.Plug(controller); }, c.plugAfterMs);
  }
  const Completion run = RunProgram({"--wait", "--timeout", "3", "--yes", package});
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.err;
  if (c.status == 0) {
    EXPECT_EQ(controller->ReceivedImage(), records[0].image);
  } else {
    EXPECT_TRUE(Contains(run.err, "kestro-update: no controller found")) << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Plugs, WaitTest,
                         ::testing::Values(WaitCase{"PluggedInLater", 500, 0},
                                           WaitCase{"NeverPluggedIn", -1, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- a controller restarting into boot mode
// -------------------------------------------------------

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

struct RestartCase {
  const char* name;
  std::vector<std::string> options;
  int status;
  bool bootLoaderAnswers = true;  // else it never tells its model
};

class RestartTest : public ProgramTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, AControllerThatComesBackInBootModeIsUpdatedThereOnlyWhenWaitedFor) {
  const RestartCase& c = GetParam();
  const std::vector<sim::PackageRecord> records = {Record(0, 0, 4096, 7),
                                                   Record(kBootModel, kBootVariant, 4096, 8)};
  const std::string package = WritePackage("update.dat", records);
  sim::BootConfig bootConfig;
  if (!c.bootLoaderAnswers) bootConfig.faults.silentTo = sim::BOOT_GET_INFO;
  auto boot = std::make_shared<sim::BootController>(bootConfig);
  auto restarting = std::make_shared<RestartingController>(
      std::make_shared<sim::NormalController>(),
      [this, boot] { bed.Loop().Post([this, boot] { bed.Plug(boot); }, 300); });
  ASSERT_NE(bed.Plug(restarting), nullptr);

  std::vector<std::string> arguments = c.options;
  arguments.insert(arguments.end(), {"--yes", package});
  const Completion run = RunProgram(arguments);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, c.status) << run.err;
  if (c.status == 0) {
    EXPECT_EQ(boot->FlashRange(kImageBase, 4096), records[1].image);
    EXPECT_TRUE(boot->Finished());
  } else if (!c.bootLoaderAnswers) {
    EXPECT_EQ(Lines(run.err), std::vector<std::string>{"kestro-update: Get gamepad info error"});
    EXPECT_TRUE(NothingOfAnUpdate(*boot));
  } else {
    const std::string instructions = ProgramText(kTextInstructions);
    EXPECT_TRUE(Contains(run.err, "kestro-update: the controller went away")) << run.err;
    EXPECT_TRUE(Contains(run.err, instructions.substr(0, instructions.find('\n')))) << run.err;
    EXPECT_TRUE(NothingOfAnUpdate(*boot));
  }
}

INSTANTIATE_TEST_SUITE_P(Waits, RestartTest,
                         ::testing::Values(RestartCase{"Waited", {"--wait", "--timeout", "5"}, 0},
                                           RestartCase{"NotWaited", {}, 2},
                                           RestartCase{"WaitedForABootLoaderWithoutItsModel",
                                                       {"--wait", "--timeout", "5"},
                                                       1,
                                                       false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- unplugged during the transfer
// ----------------------------------------------------------------

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
  constexpr std::size_t kLength = 64 * 1024;
  const std::vector<sim::PackageRecord> records = {Record(0, 0, kLength, 4),
                                                   Record(kBootModel, kBootVariant, kLength, 5)};
  const std::string package = WritePackage("update.dat", records);
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
  const Plugged plugged = PlugController(bed, c.mode, normal, boot);
  ASSERT_NE(plugged.node, nullptr);

  const Completion run = RunProgram({"--yes", package});
  // Ended of itself within its bound (not killed at the test's), as a failure; under a burst of
  // noise a success is as good, if the controller holds the image.
  ASSERT_TRUE(run.exited) << (run.killedAtBound ? "still running at the bound\n" : "") << run.err;
  EXPECT_LT(run.elapsed, c.bound);
  EXPECT_EQ(plugged.node->Gone(), c.fault == Fault::kUnplug);
  const bool whole =
      plugged.normal
          ? plugged.normal->ReceivedImage() == records[0].image && plugged.normal->Ended()
          : plugged.boot->FlashRange(kImageBase, kLength) == records[1].image &&
                plugged.boot->Finished();
  if (c.fault == Fault::kNoiseBurst && run.status == 0) {
    EXPECT_TRUE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
    EXPECT_TRUE(whole);
  } else {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, ProgramText(kTextFailure))) << run.err;
    EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
    EXPECT_FALSE(whole);
  }
  std::printf("[ measured ] %s, %s controller: the program ended %lld ms after its start\n", c.name,
              c.mode == Mode::kNormal ? "normal-mode" : "boot-mode",
              static_cast<long long>(run.elapsed.count()));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, UnplugTest,
    ::testing::Values(
        UnplugCase{"Normal", Mode::kNormal, 40}, UnplugCase{"Boot", Mode::kBoot, 40},
        UnplugCase{"StallNormal", Mode::kNormal, 40, Fault::kStall, kStallBound},
        UnplugCase{"StallBoot", Mode::kBoot, 40, Fault::kStall, kStallBound},
        UnplugCase{"NoiseBurstNormal", Mode::kNormal, 0, Fault::kNoiseBurst, kBurstBound},
        UnplugCase{"NoiseBurstBoot", Mode::kBoot, 0, Fault::kNoiseBurst, kBurstBound}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::hidraw::testing

namespace kestro::hidraw::testing {
namespace {

// --- Ctrl-C
// ----------------------------------------------------------------------------------------

// The frames a user's Ctrl-C is timed by.
enum class Frame { kVersionQuery, kImageBlock, kBootStart, kVersionWord, kFinish };

Frame KindOf(const sim::OutputReport& report, bool& known) {
  known = true;
  const bool framed = report[2] == 0x00 && report[3] == 0x16;
  if (framed && report[6] == 0x04) return Frame::kVersionQuery;
  if (framed && report[6] == 0x00) return Frame::kImageBlock;
  if (framed && report[6] == 0x02) return Frame::kFinish;
  if (report[1] == 5 && report[3] == 0) {
    switch (report[2]) {
      case 0xC0:
        return Frame::kVersionQuery;
      case 3:
        return Frame::kImageBlock;
      case 4:
        return Frame::kBootStart;
      case 2:
        return Frame::kVersionWord;
      case 7:
        return Frame::kFinish;
    }
  }
  known = false;
  return Frame::kVersionQuery;
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
    bool known = false;
    const Frame frame = KindOf(report, known);
    if (known) {
      const int index = m_seen[frame]++;
      for (const Press& press : m_presses) {
        if (press.at != frame || press.index != index) continue;
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

struct InterruptCase {
  const char* name;
  Mode mode;
  std::vector<Press> presses;
  int status;  // 0: the update went through whole
  sim::NormalFaults normalFaults = {};
  sim::BootFaults bootFaults = {};
};

class InterruptTest : public ProgramTest, public ::testing::WithParamInterface<InterruptCase> {};

// The first Ctrl-C of a transfer only warns; the second stops it, in whatever it is waiting for,
// within a second. Before the transfer, the first Ctrl-C ends the program at once.
TEST_P(InterruptTest, TheFirstCtrlCWarnsAndTheSecondStopsPromptlyAsAFailure) {
  const InterruptCase& c = GetParam();
  constexpr std::size_t kLength = 16 * 1024;
  const auto normalRecord = Record(0, 0, kLength, 4);
  const auto bootRecord = Record(kBootModel, kBootVariant, kLength, 5);
  const std::string package = WritePackage("update.dat", {normalRecord, bootRecord});
  const std::string pidFile = PathInDirectory("program.pid");
  std::shared_ptr<sim::NormalController> normal;
  std::shared_ptr<sim::BootController> boot;
  std::shared_ptr<sim::Device> inner;
  if (c.mode == Mode::kNormal) {
    sim::NormalConfig config;
    config.faults = c.normalFaults;
    inner = normal = std::make_shared<sim::NormalController>(config);
  } else {
    sim::BootConfig config;
    config.faults = c.bootFaults;
    inner = boot = std::make_shared<sim::BootController>(config);
  }
  auto interrupting =
      std::make_shared<InterruptingController>(inner, pidFile, c.presses, bed.Loop());
  ASSERT_NE(bed.Plug(interrupting), nullptr);

  RunOptions options;
  options.pidFile = pidFile;
  const auto started = std::chrono::steady_clock::now();
  const Completion run = RunProgram({"--yes", package}, options);
  ASSERT_FALSE(run.killedAtBound) << run.err;
  EXPECT_EQ(run.exited ? run.status : kEndedByCtrlC, c.status) << run.err;
  const auto lastPress = interrupting->LastPress();
  ASSERT_TRUE(lastPress.has_value());
  // Only a press that stops the program bounds its end.
  if (c.presses.size() > 1 || c.status == kEndedByCtrlC) {
    EXPECT_LT(started + run.elapsed - *lastPress, std::chrono::seconds(1)) << run.err;
  }

  const bool whole = normal ? normal->ReceivedImage() == normalRecord.image
                            : boot->FlashRange(kImageBase, kLength) == bootRecord.image;
  if (c.status == kEndedByCtrlC) {
    EXPECT_TRUE(normal ? NothingOfAnUpdate(*normal) : NothingOfAnUpdate(*boot));
    return;
  }
  EXPECT_TRUE(Contains(run.err, "being written")) << run.err;
  if (c.status == 0) {
    EXPECT_TRUE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
    EXPECT_TRUE(whole);
  } else {
    EXPECT_TRUE(Contains(run.err, ProgramText(kTextFailure))) << run.err;
    EXPECT_TRUE(Contains(run.err, ProgramText(kTextInstructions))) << run.err;
    EXPECT_FALSE(Contains(run.out, ProgramText(kTextUpgraded))) << run.out;
  }
}

sim::NormalFaults Silent() {
  sim::NormalFaults faults;
  faults.silent = true;
  return faults;
}
sim::BootFaults BusyStarting() {
  sim::BootFaults faults;
  faults.busyForMs = 60000;
  return faults;
}
sim::BootFaults SilentTo(int command) {
  sim::BootFaults faults;
  faults.silentTo = command;
  return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Presses, InterruptTest,
    ::testing::Values(
        InterruptCase{
            "VersionQuery", Mode::kNormal, {{Frame::kVersionQuery, 0}}, kEndedByCtrlC, Silent()},
        InterruptCase{"OnceNormal", Mode::kNormal, {{Frame::kImageBlock, 20}}, 0},
        InterruptCase{
            "BlocksNormal", Mode::kNormal, {{Frame::kImageBlock, 20}, {Frame::kImageBlock, 60}}, 1},
        InterruptCase{"OnceBoot", Mode::kBoot, {{Frame::kImageBlock, 20}}, 0},
        InterruptCase{"StartBoot",
                      Mode::kBoot,
                      {{Frame::kBootStart, 1}, {Frame::kBootStart, 3}},
                      1,
                      {},
                      BusyStarting()},
        InterruptCase{
            "BlocksBoot", Mode::kBoot, {{Frame::kImageBlock, 20}, {Frame::kImageBlock, 60}}, 1},
        InterruptCase{"VersionWordBoot",
                      Mode::kBoot,
                      {{Frame::kVersionWord, 0}, {Frame::kVersionWord, 0, 50}},
                      1,
                      {},
                      SilentTo(sim::BOOT_WRITE_PARAM)},
        // The finish is sent before either press is taken: the update went through.
        InterruptCase{"FinishBoot",
                      Mode::kBoot,
                      {{Frame::kFinish, 0}, {Frame::kFinish, 0, 20}},
                      0,
                      {},
                      SilentTo(sim::BOOT_FINISH)},
        InterruptCase{
            "FinishNormal", Mode::kNormal, {{Frame::kFinish, 0}, {Frame::kFinish, 0, 20}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::hidraw::testing
