#include "cli/System.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/hidraw/HidrawPort.h"

extern char** environ;

namespace kestro::cli {

void PrepareProcess() {}

bool LocaleIsChinese() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return std::strncmp(value, "zh_CN", 5) == 0;
  }
  return false;
}

std::unique_ptr<HidPort> CreateControllerPort() { return std::make_unique<hidraw::HidrawPort>(); }

std::vector<DeniedInterface> DeniedInterfaces(HidPort& port) {
  std::vector<DeniedInterface> denied;
  if (auto* hidraw = dynamic_cast<hidraw::HidrawPort*>(&port)) {
    for (const auto& node : hidraw->DeniedNodes()) denied.push_back({node.path, node.attributes});
  }
  return denied;
}

std::string PermissionAdvice() {
  return "install the udev rule 70-kestro-controller.rules (README, \"Linux\") and plug the "
         "controller in again";
}

struct ArrivalWatch::State {
  hidraw::HidrawMonitor monitor;
};

ArrivalWatch::ArrivalWatch(HidPort&) : m_state(std::make_unique<State>()) {}
ArrivalWatch::~ArrivalWatch() = default;
bool ArrivalWatch::Ready() const { return m_state->monitor.Ready(); }
bool ArrivalWatch::WaitForChange(std::uint32_t timeoutMs) {
  // A signal (Ctrl-C) ends the monitor's wait early.
  if (!Ready()) {
    usleep(timeoutMs * 1000u);
    return false;
  }
  return m_state->monitor.WaitForChange(timeoutMs);
}

namespace {
void (*g_handler)() = nullptr;
void OnSignal(int) {
  if (g_handler != nullptr) g_handler();
}
}  // namespace

void CatchInterrupts(void (*handler)()) {
  g_handler = handler;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll wakes and sees what the handler did
  sigaction(SIGINT, &action, nullptr);
}

void EndInterrupted() {
  // As the shell expects of a program the user interrupted: ended by the signal itself.
  // Called from the handler, where SIGINT is blocked: unblocked, so that it ends the program now.
  signal(SIGINT, SIG_DFL);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
  raise(SIGINT);
  _exit(130);
}

void InterruptMessage(const std::string& text) {
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) return;
}

std::string ErrorText(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string ProgramPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "kestro-update";
  return std::string(path, static_cast<std::size_t>(length));
}

struct ChildProcess::State {
  pid_t pid = -1;
  int out = -1;  // its standard output, read here
  int in = -1;   // its standard input, written here
  std::string buffered;
  rusage usage{};
};

ChildProcess::ChildProcess() : m_state(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  if (m_state->out >= 0) close(m_state->out);
  if (m_state->in >= 0) close(m_state->in);
  if (m_state->pid > 0) Wait();
}

bool ChildProcess::Start(const std::vector<std::string>& arguments) {
  // A child that ends early closes its input: writing to it must fail, not end this program.
  signal(SIGPIPE, SIG_IGN);
  int output[2];
  int input[2];
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  if (pipe2(input, O_CLOEXEC) != 0) {
    close(output[0]);
    close(output[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A process group of its own: the terminal's Ctrl-C reaches the parent alone, which decides.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(output[1]);
  close(input[0]);
  if (error != 0) {
    close(output[0]);
    close(input[1]);
    return false;
  }
  m_state->pid = pid;
  m_state->out = output[0];
  m_state->in = input[1];
  return true;
}

bool ChildProcess::ReadLine(std::string& line) {
  State& state = *m_state;
  for (;;) {
    const std::size_t end = state.buffered.find('\n');
    if (end != std::string::npos) {
      line = state.buffered.substr(0, end);
      state.buffered.erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    const ssize_t got = state.out >= 0 ? read(state.out, chunk, sizeof chunk) : 0;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (state.buffered.empty()) return false;
      line = std::move(state.buffered);
      state.buffered.clear();
      return true;
    }
    state.buffered.append(chunk, static_cast<std::size_t>(got));
  }
}

void ChildProcess::WriteLine(const std::string& line) {
  if (m_state->in < 0) return;
  const std::string text = line + "\n";
  // A child that has gone reads no more: the write fails (SIGPIPE is ignored, see Start).
  const ssize_t written = write(m_state->in, text.data(), text.size());
  static_cast<void>(written);
}

int ChildProcess::Wait() {
  State& state = *m_state;
  if (state.pid <= 0) return -1;
  int status = 0;
  pid_t done;
  do {
    done = wait4(state.pid, &status, 0, &state.usage);
  } while (done < 0 && errno == EINTR);
  state.pid = -1;
  if (done < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::uint64_t ChildProcess::PeakMemoryKiB() const {
  return static_cast<std::uint64_t>(m_state->usage.ru_maxrss);
}

}  // namespace kestro::cli
