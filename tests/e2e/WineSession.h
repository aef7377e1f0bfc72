// What the end-to-end tests need around the real program: child processes with time-outs, a
// private X server, one Wine prefix per test run, the UI driver and the debugger harness.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestro::e2e {

struct Paths {
  std::string windowsBuildDir;  // KestroUpdate.exe, KestroUpdate-link.exe, the helpers
  std::string prefix;           // the WINEPREFIX of this test run
  std::string artifacts;        // screenshots, logs, packages
};
const Paths& TestPaths();

using Environment = std::map<std::string, std::string>;

struct RunResult {
  int exitCode = -1;   // -1 when it had to be killed at its time-out
  std::string output;  // stdout and stderr
};

// Runs a program to its end, at most timeoutMs; then kills its process group.
RunResult Run(const std::vector<std::string>& argv, const Environment& overrides,
              std::uint32_t timeoutMs);

// A program running in the background in its own process group, killed with it if still there.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const Environment& overrides,
             const std::string& outputFile);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  bool Started() const { return m_pid > 0; }
  // The exit code, or nothing when it is still running after timeoutMs.
  std::optional<int> Wait(std::uint32_t timeoutMs);
  void Kill();

 private:
  pid_t m_pid = -1;
  std::optional<int> m_exitCode;
};

// A private Xvfb; its display number comes from the server itself (-displayfd).
class VirtualDisplay {
 public:
  VirtualDisplay();
  ~VirtualDisplay();
  bool Ready() const { return !m_name.empty(); }
  const std::string& Name() const { return m_name; }  // ":N"

 private:
  pid_t m_pid = -1;
  std::string m_name;
};

bool HaveWine();
// WINEPREFIX of this run, and quiet: what every Wine process of the tests starts with.
Environment WineEnvironment();
// True when KESTRO_E2E_REQUIRED is set: what would be skipped for want of Wine fails instead.
bool E2eRequired();
std::optional<std::string> MissingWindowsFile(const std::vector<std::string>& names);
// A registry value as `reg add KEY /v NAME /t TYPE /d DATA /f` writes it.
struct RegistryValue {
  std::string key;
  std::string name;
  std::string type;
  std::string data;
};
// Makes the prefix of this run if it is not there yet (wineboot -i), with these values written
// before any later session starts. False on failure.
bool PreparePrefix(bool fresh, const std::vector<RegistryValue>& values = {});
// Ends every Wine process of the prefix.
void KillWineServer();

// "Z:\dir\file" for a Linux path: Wine maps the whole file system to drive Z.
std::string WindowsPath(const std::string& linuxPath);

// The UI driver's answer: every key=value line, in order; values unescaped.
struct DriverResult {
  int exitCode = -1;
  std::vector<std::pair<std::string, std::string>> lines;
  std::string raw;
  // The last value of a key, or "" when absent.
  std::string Get(const std::string& key) const;
  std::vector<std::string> All(const std::string& key) const;
};
DriverResult ParseDriverOutput(int exitCode, const std::string& output);

std::string ReadFile(const std::string& path);

}  // namespace kestro::e2e
