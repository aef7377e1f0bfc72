// kestro-update's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro::cli {

inline constexpr std::uint32_t kDefaultWaitSeconds = 5 * 60;

struct Options {
  bool help = false;
  std::optional<std::string> package;
  bool yes = false;
  bool wait = false;
  std::uint32_t timeoutSeconds = kDefaultWaitSeconds;
  bool debug = false;
  // Choosing a controller, and many at once.
  bool list = false;
  bool json = false;
  std::optional<std::string> device;
  bool all = false;
  bool station = false;
  std::optional<std::string> log;
  bool version = false;
  // The session with the controller, written to this file as it goes (platform/record).
  std::optional<std::string> record;
  // Started by --all or --station for one controller: lines for the parent, not for a person.
  bool child = false;
  // With --child: a normal-mode controller that runs the package's version already is left alone.
  bool skipCurrent = false;
};

// The options, or the reason they are wrong.
struct ParsedOptions {
  std::optional<Options> options;
  std::string error;
};
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);  // without the program

extern const char kUsage[];

}  // namespace kestro::cli
