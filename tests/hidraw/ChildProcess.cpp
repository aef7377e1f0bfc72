#include "tests/hidraw/ChildProcess.h"

#include <gio/gio.h>
#include <unistd.h>

namespace kestro::hidraw::testing {
namespace {

// timeout(1) ends a child still running at its bound with SIGKILL, and then exits with this.
constexpr int kKilledAtBound = 128 + 9;

std::string Take(GBytes* bytes) {
  if (bytes == nullptr) return {};
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data == nullptr ? "" : data, size);
  g_bytes_unref(bytes);
  return text;
}

}  // namespace

Completion RunChild(const Invocation& invocation) {
  std::vector<std::string> argv = {"timeout", "--signal=KILL",
                                   std::to_string(invocation.bound.count())};
  if (invocation.unprivileged && geteuid() == 0) {
    // setpriv keeps the environment, and with it umockdev's preload and testbed.
    argv.insert(argv.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  argv.insert(argv.end(), invocation.argv.begin(), invocation.argv.end());
  std::vector<const char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(arg.c_str());
  pointers.push_back(nullptr);

  GSubprocessLauncher* launcher = g_subprocess_launcher_new(
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_PIPE));
  for (const auto& [name, value] : invocation.environment) {
    if (value) {
      g_subprocess_launcher_setenv(launcher, name.c_str(), value->c_str(), TRUE);
    } else {
      g_subprocess_launcher_unsetenv(launcher, name.c_str());
    }
  }
  Completion completion;
  const auto start = std::chrono::steady_clock::now();
  GError* error = nullptr;
  GSubprocess* child = g_subprocess_launcher_spawnv(launcher, pointers.data(), &error);
  g_object_unref(launcher);
  if (child == nullptr) {
    completion.err = error->message;
    g_clear_error(&error);
    return completion;
  }
  GBytes* input = g_bytes_new(invocation.input.data(), invocation.input.size());
  GBytes* out = nullptr;
  GBytes* err = nullptr;
  if (!g_subprocess_communicate(child, input, nullptr, &out, &err, &error)) {
    g_clear_error(&error);
    g_subprocess_force_exit(child);
  }
  g_subprocess_wait(child, nullptr, nullptr);
  completion.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  completion.out = Take(out);
  completion.err = Take(err);
  g_bytes_unref(input);
  const bool exited = g_subprocess_get_if_exited(child);
  const int status = exited ? g_subprocess_get_exit_status(child) : -1;
  g_object_unref(child);
  completion.killedAtBound = status == kKilledAtBound;
  completion.exited = exited && !completion.killedAtBound;
  completion.status = completion.exited ? status : -1;
  return completion;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

}  // namespace kestro::hidraw::testing
