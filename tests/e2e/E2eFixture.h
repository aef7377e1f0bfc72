// What every end-to-end test stands on: the Wine prefix of the run, a private Xvfb, the emulated
// controller served over the device link, and the real programs under Wine: the updater (under
// the debugger harness that collects its diagnostic lines), the UI driver that plays the user,
// and, for the shipped program, the bridge that puts the server's controllers into Wine's own
// HID stack. Screenshots and logs land in the artifacts directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/BootController.h"
#include "sim/Package.h"
#include "tests/e2e/WineSession.h"
#include "tools/linkserver/LinkServer.h"

namespace kestro::e2e {

// Bounds of the waits; generous, since Wine starting a program takes seconds on a loaded machine.
inline constexpr std::uint32_t kStartMs = 30000;
inline constexpr std::uint32_t kDialogMs = 15000;
inline constexpr std::uint32_t kUpdateMs = 60000;
inline constexpr std::uint32_t kProgramEndMs = 15000;
inline constexpr std::uint32_t kSyncMs = 20000;
// A program is ended after this long whatever happens; below the ctest time-out of a test.
inline constexpr std::uint32_t kProgramBoundS = 180;
// How long a box that must not come is waited for.
inline constexpr std::uint32_t kQuietMs = 1500;

inline const std::string kTitle = "Kestro Update v2.00";
inline const std::string kInterface = "kestro0";

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Environment WineEnv() const;
  // WineEnv() with the program's DLL overrides.
  Environment ProgramEnv() const;
  std::string Artifact(const std::string& what) const;

  // The link server, started, with the device attached before the program starts.
  link::LinkServer& StartServer(std::shared_ptr<sim::Device> device = nullptr);
  // kestro-vhid.exe serving the link server into Wine's HID stack; returns once it said "ready".
  void StartBridge();
  std::unique_ptr<Background> StartBridgeOn(std::uint16_t port, const std::string& outputFile);
  // The server ends the run: the bridge removes its devices and exits; its exit code.
  std::optional<int> EndBridgeRun();

  // The program under the debugger harness. The link build is told the server's address. Given
  // a folder, a copy of the program runs from there, as from a user's Downloads folder.
  void StartProgram(const std::string& exe, const std::string& folder = "");

  static std::vector<std::string> DriverArgv(const std::vector<std::string>& args);
  DriverResult Driver(const std::vector<std::string>& args, std::uint32_t timeoutMs = 120000);
  DriverResult WaitForDialog();
  void Screenshot(const std::string& what);
  // The diagnostic log once it holds `text` (it is written as the program runs).
  bool LogHasLine(const std::string& text, std::uint32_t timeoutMs = 5000);
  std::string WritePackage(const std::vector<sim::PackageRecord>& records);
  // Press, pick the package, and answer the confirmation box; returns the box as seen.
  DriverResult PressAndConfirm(const std::string& package, const std::string& answer);
  // Watches the progress bar until a box appears, with a screenshot once it has moved.
  std::vector<int> WatchProgress();
  // Wine's own fixme that a window's hiding waited for a window manager that never answered.
  bool WaitedForAWindowManager() const;
  // A figure for the log and the test's properties; never asserted.
  void Measured(const std::string& what, double value);

  std::string m_lang = "en_US.UTF-8";
  std::string m_wineDebug;     // WINEDEBUG of the program, when not the quiet default
  std::string m_dllOverrides;  // added to WINEDLLOVERRIDES of the program
  std::vector<RegistryValue> m_prefixValues;  // written into the prefix as it is made
  std::unique_ptr<VirtualDisplay> m_display;
  std::unique_ptr<link::LinkServer> m_server;
  std::unique_ptr<Background> m_bridge;
  std::unique_ptr<Background> m_program;
  std::string m_name;
  std::string m_logPath;
  std::string m_bridgeOutput;
};

// A normal-mode image, version 1.23: model 0, variant 0, what a normal-mode controller matches.
sim::PackageRecord NormalRecord(std::size_t imageBytes);
// A boot-mode image, version 1.50 beta 2, for the model and variant the controller reports.
sim::PackageRecord BootRecord(const sim::BootConfig& config, std::size_t imageBytes);

// The first whole line equal to `line` in the file, waited for.
bool WaitForLine(const std::string& file, const std::string& line, std::uint32_t timeoutMs);
bool WaitForText(const std::string& file, const std::string& text, std::uint32_t timeoutMs);

}  // namespace kestro::e2e
