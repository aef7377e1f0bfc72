// The terminal front's ways of running: one controller (its version, or its update), and many
// (--list, --all, --station), each over the same core.
#pragma once

#include <string>

#include "cli/Options.h"
#include "cli/Texts.h"

namespace kestro::cli {

// The program and its version, from the project's one version.
inline constexpr char kProgramName[] = "kestro-update " KESTRO_VERSION;

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNoController = 2;
inline constexpr int kExitUsage = 64;

// The version or the update of one controller: the first found, or --device's.
int RunOne(const Options& options, const Texts& texts);
// Every connected controller: where, what, which version.
int ListControllers(const Options& options, const Texts& texts);
// Every connected controller updated at once, each by a program of its own.
int UpdateAll(const Options& options, const Texts& texts);
// Until Ctrl-C, each controller updated as it is plugged in.
int RunStation(const Options& options, const Texts& texts);

// A line of the program's own on standard error.
void Say(const std::string& line);
// How to connect a controller, or to bring it into boot mode.
void SayInstructions(const Texts& texts);

}  // namespace kestro::cli
