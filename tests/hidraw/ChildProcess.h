// Runs a program as a child of the test, so that it inherits umockdev's preload and testbed,
// with its standard streams captured and its run bounded.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestro::hidraw::testing {

struct Invocation {
  std::vector<std::string> argv;  // the program's path first
  // Variables set (a value) or removed (none) on top of the test's own environment.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  std::string input;  // standard input, then its end
  // As user and group nobody (65534), when the test runs as root: for permissions that root's
  // privileges would override.
  bool unprivileged = false;
  std::chrono::seconds bound{60};  // killed after this long
};

struct Completion {
  bool exited = false;  // exited of itself, with `status`; false: killed, by a signal or the bound
  int status = -1;
  bool killedAtBound = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

Completion RunChild(const Invocation& invocation);

// The lines of a captured stream, without their line feeds.
std::vector<std::string> Lines(const std::string& text);

}  // namespace kestro::hidraw::testing
