#include "tests/e2e/E2eFixture.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

namespace kestro::e2e {

using Clock = std::chrono::steady_clock;

void E2eTest::SetUp() {
  // A developer without Wine gets skips; the full test run sets KESTRO_E2E_REQUIRED so that a
  // missing piece fails instead of passing unseen.
  const bool required = E2eRequired();
  if (!HaveWine()) {
    if (required) FAIL() << "wine, wineserver or Xvfb not installed";
    GTEST_SKIP() << "wine, wineserver or Xvfb not installed";
  }
  if (auto missing = MissingWindowsFile(
          {"KestroUpdate.exe", "KestroUpdate-link.exe", "kestro-update.exe", "uidriver.exe",
           "debugrun.exe", "vhid/kestro-vhid.exe", "vhid/kestrovhid.sys", "vhid/kestrovhid.inf",
           "vhid/vhid-probe.exe", "planted/hid.dll"})) {
    if (required) FAIL() << *missing << " not built (cmake --build --preset windows)";
    GTEST_SKIP() << *missing << " not built (cmake --build --preset windows)";
  }
  ASSERT_TRUE(PreparePrefix(false, m_prefixValues))
      << "cannot make the Wine prefix " << TestPaths().prefix;
  m_display = std::make_unique<VirtualDisplay>();
  ASSERT_TRUE(m_display->Ready()) << "Xvfb did not start";
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  m_name = std::string(test->test_suite_name()) + "." + test->name();
  for (char& c : m_name) {
    if (c == '/') c = '_';
  }
  m_logPath = Artifact("debug.log");
}

void E2eTest::TearDown() {
  if (m_program) {
    Driver({"close", "5000"});
    m_program->Wait(kProgramEndMs);
    m_program.reset();  // ends it if it is still running
  }
  // The server's end is the bridge's cue to remove its devices and exit.
  if (m_server) m_server->Stop();
  if (m_bridge) m_bridge->Wait(kProgramEndMs);
  m_bridge.reset();
  if (m_display && m_display->Ready()) KillWineServer();
  m_display.reset();
}

Environment E2eTest::WineEnv() const {
  Environment environment = WineEnvironment();
  if (!m_wineDebug.empty()) environment["WINEDEBUG"] = m_wineDebug;
  environment["DISPLAY"] = m_display->Name();
  environment["LANG"] = m_lang;
  environment["LC_ALL"] = m_lang;
  // The link build's address; the shipped program and the bridge's other readers ignore it.
  if (m_server) environment["KESTRO_DEVICE_LINK"] = "127.0.0.1:" + std::to_string(m_server->Port());
  return environment;
}

Environment E2eTest::ProgramEnv() const {
  Environment environment = WineEnv();
  if (!m_dllOverrides.empty()) environment["WINEDLLOVERRIDES"] += ";" + m_dllOverrides;
  return environment;
}

std::string E2eTest::Artifact(const std::string& what) const {
  return TestPaths().artifacts + "/" + m_name + "." + what;
}

link::LinkServer& E2eTest::StartServer(std::shared_ptr<sim::Device> device) {
  m_server = std::make_unique<link::LinkServer>();
  if (device) m_server->Attach(kInterface, device);
  EXPECT_TRUE(m_server->Start(0));
  return *m_server;
}

std::unique_ptr<Background> E2eTest::StartBridgeOn(std::uint16_t port,
                                                   const std::string& outputFile) {
  // Into a file, never a pipe: as the prefix's first Wine program its services inherit it.
  return std::make_unique<Background>(
      std::vector<std::string>{"wine", TestPaths().windowsBuildDir + "/vhid/kestro-vhid.exe",
                               "serve", "127.0.0.1:" + std::to_string(port)},
      WineEnv(), outputFile);
}

void E2eTest::StartBridge() {
  m_bridgeOutput = Artifact("bridge.out");
  const auto start = Clock::now();
  m_bridge = StartBridgeOn(m_server->Port(), m_bridgeOutput);
  ASSERT_TRUE(m_bridge->Started());
  ASSERT_TRUE(WaitForLine(m_bridgeOutput, "ready", kStartMs)) << ReadFile(m_bridgeOutput);
  // Wine's start included: each test begins with the prefix's processes ended.
  Measured("bridge_ready_ms",
           std::chrono::duration<double, std::milli>(Clock::now() - start).count());
}

std::optional<int> E2eTest::EndBridgeRun() {
  m_server->Stop();
  const std::optional<int> code = m_bridge->Wait(kProgramEndMs);
  m_bridge.reset();
  return code;
}

void E2eTest::StartProgram(const std::string& exe, const std::string& folder) {
  std::string exePath = TestPaths().windowsBuildDir + "/" + exe;
  if (!folder.empty()) {
    const std::string copy = folder + "/" + exe;
    std::error_code error;
    std::filesystem::copy_file(exePath, copy, std::filesystem::copy_options::overwrite_existing,
                               error);
    ASSERT_FALSE(error) << "copying " << exePath << " to " << copy << ": " << error.message();
    exePath = copy;
  }
  m_program = std::make_unique<Background>(
      std::vector<std::string>{"wine", TestPaths().windowsBuildDir + "/debugrun.exe", "--timeout",
                               std::to_string(kProgramBoundS), WindowsPath(m_logPath),
                               WindowsPath(exePath)},
      ProgramEnv(), Artifact("wine.out"));
  ASSERT_TRUE(m_program->Started());
  if (m_server && exe == "KestroUpdate-link.exe") {
    ASSERT_TRUE(m_server->WaitForClient(kStartMs)) << "program did not connect";
  }
}

std::vector<std::string> E2eTest::DriverArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"wine", TestPaths().windowsBuildDir + "/uidriver.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

DriverResult E2eTest::Driver(const std::vector<std::string>& args, std::uint32_t timeoutMs) {
  RunResult run = e2e::Run(DriverArgv(args), WineEnv(), timeoutMs);
  return ParseDriverOutput(run.exitCode, run.output);
}

DriverResult E2eTest::WaitForDialog() {
  DriverResult state = Driver({"state", std::to_string(kStartMs)});
  EXPECT_EQ(state.exitCode, 0) << state.raw;
  return state;
}

void E2eTest::Screenshot(const std::string& what) {
  const std::string file = Artifact(what + ".png");
  RunResult shot =
      e2e::Run({"import", "-display", m_display->Name(), "-window", "root", file}, {}, 30000);
  EXPECT_EQ(shot.exitCode, 0) << "screenshot " << file << ": " << shot.output;
}

bool E2eTest::LogHasLine(const std::string& text, std::uint32_t timeoutMs) {
  return WaitForText(m_logPath, text, timeoutMs);
}

std::string E2eTest::WritePackage(const std::vector<sim::PackageRecord>& records) {
  const std::string path = Artifact("dat");
  EXPECT_TRUE(sim::WriteFileBytes(path, sim::BuildPackage(records)));
  return path;
}

DriverResult E2eTest::PressAndConfirm(const std::string& package, const std::string& answer) {
  DriverResult press = Driver({"press", std::to_string(kDialogMs)});
  EXPECT_EQ(press.exitCode, 0) << press.raw;
  DriverResult file = Driver({"filedialog", WindowsPath(package), std::to_string(kDialogMs)});
  EXPECT_EQ(file.exitCode, 0) << file.raw;
  DriverResult box = Driver({"msgbox", std::to_string(kDialogMs), answer});
  EXPECT_EQ(box.exitCode, 0) << box.raw;
  return box;
}

std::vector<int> E2eTest::WatchProgress() {
  const std::string watchFile = Artifact("progress.out");
  Background watch(DriverArgv({"progress-watch", std::to_string(kUpdateMs)}), WineEnv(), watchFile);
  bool shot = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kUpdateMs + kStartMs);
  while (!watch.Wait(100)) {
    if (Clock::now() >= deadline) {
      watch.Kill();
      break;
    }
    const std::string position = ParseDriverOutput(0, ReadFile(watchFile)).Get("progress");
    if (!shot && !position.empty() && position != "0") {
      Screenshot("progress");
      shot = true;
    }
  }
  DriverResult watched = ParseDriverOutput(watch.Wait(0).value_or(-1), ReadFile(watchFile));
  EXPECT_EQ(watched.Get("progress_watch"), "box") << watched.raw;
  std::vector<int> positions;
  for (const std::string& value : watched.All("progress")) positions.push_back(std::stoi(value));
  return positions;
}

bool E2eTest::WaitedForAWindowManager() const {
  return ReadFile(Artifact("wine.out")).find("wait timed out") != std::string::npos;
}

void E2eTest::Measured(const std::string& what, double value) {
  RecordProperty(what, std::to_string(value));
  std::printf("[ measured ] %s: %.2f\n", what.c_str(), value);
}

sim::PackageRecord NormalRecord(std::size_t imageBytes) {
  sim::PackageRecord record;
  record.version = 123;  // offered as "New firmware 1.2"
  record.baseAddress = 0x08004000;
  record.image = sim::PatternImage(imageBytes, 7);
  return record;
}

sim::PackageRecord BootRecord(const sim::BootConfig& config, std::size_t imageBytes) {
  sim::PackageRecord record;
  record.version = 150;
  record.beta = 2;
  record.baseAddress = 0x08004000;
  record.modelId = config.modelId;
  record.variant = config.variant;
  record.image = sim::PatternImage(imageBytes, 11);
  return record;
}

namespace {
bool HasWholeLine(const std::string& text, const std::string& wanted) {
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == wanted) return true;
  }
  return false;
}

template <typename Found>
bool PollFile(const std::string& file, Found found, std::uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!found(ReadFile(file))) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}
}  // namespace

// A whole line: Wine's own messages share the bridge's output.
bool WaitForLine(const std::string& file, const std::string& line, std::uint32_t timeoutMs) {
  return PollFile(
      file, [&](const std::string& text) { return HasWholeLine(text, line); }, timeoutMs);
}

bool WaitForText(const std::string& file, const std::string& text, std::uint32_t timeoutMs) {
  return PollFile(
      file, [&](const std::string& all) { return all.find(text) != std::string::npos; }, timeoutMs);
}

}  // namespace kestro::e2e
