#include "tests/e2e/WineSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kestro::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// wineboot -i of a new prefix takes about 8 s here; a slow machine gets much more.
constexpr std::uint32_t kWinebootTimeoutMs = 180000;
constexpr std::uint32_t kWineserverTimeoutMs = 30000;
constexpr std::uint32_t kRegTimeoutMs = 30000;
constexpr std::uint32_t kDisplayStartMs = 10000;

std::vector<std::string> EnvironmentWith(const Environment& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (!overrides.count(name)) result.push_back(text);
  }
  for (const auto& [name, value] : overrides) result.push_back(name + "=" + value);
  return result;
}

// Starts the program in a process group of its own, stdout and stderr into outputFile (or
// /dev/null). -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const Environment& overrides,
            const std::string& outputFile) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment = EnvironmentWith(overrides);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const char* output = outputFile.empty() ? "/dev/null" : outputFile.c_str();
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// Polls for the child's end; nothing after timeoutMs.
std::optional<int> WaitChild(pid_t pid, std::uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void KillGroup(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  WaitChild(pid, 5000);
}

std::string TemporaryOutputFile() {
  static int counter = 0;
  return TestPaths().artifacts + "/.run-" + std::to_string(getpid()) + "-" +
         std::to_string(counter++) + ".out";
}

}  // namespace

Environment WineEnvironment() {
  // No Mono or Gecko installer prompts in a fresh prefix; no Wine chatter in the outputs.
  return {{"WINEPREFIX", TestPaths().prefix},
          {"WINEDEBUG", "-all"},
          {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
}

const Paths& TestPaths() {
  static const Paths paths = [] {
    Paths p{KESTRO_WINDOWS_BUILD_DIR, KESTRO_E2E_PREFIX, KESTRO_E2E_ARTIFACTS};
    std::filesystem::create_directories(p.artifacts);
    return p;
  }();
  return paths;
}

RunResult Run(const std::vector<std::string>& argv, const Environment& overrides,
              std::uint32_t timeoutMs) {
  // Output goes through a file, not a pipe: a wineserver started on the way inherits the
  // descriptors and would hold a pipe open long after the program ended.
  std::string outputFile = TemporaryOutputFile();
  RunResult result;
  pid_t pid = Spawn(argv, overrides, outputFile);
  if (pid < 0) return result;
  std::optional<int> code = WaitChild(pid, timeoutMs);
  if (!code) {
    KillGroup(pid);
  } else {
    result.exitCode = *code;
  }
  result.output = ReadFile(outputFile);
  std::filesystem::remove(outputFile);
  return result;
}

Background::Background(const std::vector<std::string>& argv, const Environment& overrides,
                       const std::string& outputFile)
    : m_pid(Spawn(argv, overrides, outputFile)) {}

Background::~Background() { Kill(); }

std::optional<int> Background::Wait(std::uint32_t timeoutMs) {
  if (m_exitCode || m_pid <= 0) return m_exitCode;
  m_exitCode = WaitChild(m_pid, timeoutMs);
  return m_exitCode;
}

void Background::Kill() {
  if (m_pid > 0 && !m_exitCode) {
    KillGroup(m_pid);
    m_exitCode = -1;
  }
}

VirtualDisplay::VirtualDisplay() {
  int fds[2];
  if (pipe(fds) != 0) return;
  // The read end stays with us; the write end is inherited by Xvfb, which writes its number.
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  m_pid = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"},
                {}, "");
  close(fds[1]);
  std::string number;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kDisplayStartMs);
  while (m_pid > 0 && Clock::now() < deadline) {
    pollfd waiting{fds[0], POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0) continue;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    if (c == '\n') {
      m_name = ":" + number;
      break;
    }
    number += c;
  }
  close(fds[0]);
}

VirtualDisplay::~VirtualDisplay() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    if (!WaitChild(m_pid, 5000)) KillGroup(m_pid);
  }
}

bool HaveWine() {
  return Run({"sh", "-c", "command -v wine && command -v wineserver && command -v Xvfb"}, {}, 10000)
             .exitCode == 0;
}

bool E2eRequired() { return std::getenv("KESTRO_E2E_REQUIRED") != nullptr; }

std::optional<std::string> MissingWindowsFile(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::string path = TestPaths().windowsBuildDir + "/" + name;
    if (!std::filesystem::exists(path)) return path;
  }
  return std::nullopt;
}

bool PreparePrefix(bool fresh, const std::vector<RegistryValue>& values) {
  const std::string& prefix = TestPaths().prefix;
  if (fresh) {
    KillWineServer();
    std::error_code ignored;
    std::filesystem::remove_all(prefix, ignored);
  }
  if (std::filesystem::exists(prefix + "/system.reg")) return true;
  std::filesystem::create_directories(prefix);
  VirtualDisplay display;
  if (!display.Ready()) return false;
  Environment environment = WineEnvironment();
  environment["DISPLAY"] = display.Name();
  RunResult boot = Run({"wineboot", "-i"}, environment, kWinebootTimeoutMs);
  // Xvfb has no window manager; unmanaged, Wine draws the frames itself, so the screenshots
  // show each window's caption and icon. Managed, every hidden top-level window would also cost
  // its thread 2 s: Wine's X11 driver waits that long for a window manager to confirm the
  // withdrawal (a "wait_for_withdrawn_state ... wait timed out" fixme), after each file dialog
  // and message box of the worker and when the main dialog closes.
  RunResult frames = Run(
      {"wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"},
      environment, kRegTimeoutMs);
  bool written = true;
  for (const RegistryValue& value : values) {
    written = written && Run({"wine", "reg", "add", value.key, "/v", value.name, "/t", value.type,
                              "/d", value.data, "/f"},
                             environment, kRegTimeoutMs)
                                 .exitCode == 0;
  }
  KillWineServer();
  return boot.exitCode == 0 && frames.exitCode == 0 && written &&
         std::filesystem::exists(prefix + "/system.reg");
}

void KillWineServer() {
  Run({"wineserver", "-k"}, WineEnvironment(), kWineserverTimeoutMs);
  // -k returns before the last process is gone; -w waits for the server's end.
  Run({"wineserver", "-w"}, WineEnvironment(), kWineserverTimeoutMs);
}

std::string WindowsPath(const std::string& linuxPath) {
  std::string path = "Z:" + std::filesystem::absolute(linuxPath).lexically_normal().string();
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string DriverResult::Get(const std::string& key) const {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->first == key) return it->second;
  }
  return "";
}

std::vector<std::string> DriverResult::All(const std::string& key) const {
  std::vector<std::string> values;
  for (const auto& [name, value] : lines) {
    if (name == key) values.push_back(value);
  }
  return values;
}

DriverResult ParseDriverOutput(int exitCode, const std::string& output) {
  DriverResult result;
  result.exitCode = exitCode;
  result.raw = output;
  std::istringstream stream(output);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value;
    for (std::size_t i = equals + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        char next = line[++i];
        value += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
      } else {
        value += line[i];
      }
    }
    result.lines.emplace_back(line.substr(0, equals), value);
  }
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace kestro::e2e
