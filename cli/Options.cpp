#include "cli/Options.h"

#include <cstdlib>
#include <functional>

namespace kestro::cli {

const char kUsage[] =
    "usage: kestro-update [--yes] [--wait] [--timeout SECONDS] [--debug] [--device PATH] "
    "[PACKAGE.dat]\n"
    "       kestro-update --list [--json]\n"
    "       kestro-update --all [--yes] [--log FILE] PACKAGE.dat\n"
    "       kestro-update --station [--log FILE] PACKAGE.dat\n"
    "       kestro-update --help | --version\n"
    "  without PACKAGE: shows the connected controller's firmware version\n"
    "  PACKAGE.dat      updates the controller with the package's image for it\n"
    "  --yes            takes the offered version without asking\n"
    "  --wait           waits for a controller to be plugged in (or to come back in boot mode)\n"
    "  --timeout S      how long --wait waits (default 300)\n"
    "  --debug          the updater's diagnostic lines on standard error\n"
    "  --device PATH    acts on that controller only (the paths --list shows)\n"
    "  --list           every connected controller: where it is, what it is, its version\n"
    "  --json           --list as JSON\n"
    "  --all            updates every connected controller at once, each with its image\n"
    "  --station        until Ctrl-C, updates each controller as it is plugged in\n"
    "  --log FILE       --all and --station append one JSON line per controller to FILE\n"
    "  --record FILE    writes the session with the controller to FILE, to send with a report\n";

namespace {

struct Option {
  const char* name;
  bool takesValue;
  std::function<bool(Options&, const std::string&)> apply;  // false: the value is wrong
};

bool Set(bool Options::*flag, Options& options) {
  options.*flag = true;
  return true;
}

const std::vector<Option>& Table() {
  static const std::vector<Option> table = {
      {"--help", false, [](Options& o, const std::string&) { return Set(&Options::help, o); }},
      {"-h", false, [](Options& o, const std::string&) { return Set(&Options::help, o); }},
      {"--version", false,
       [](Options& o, const std::string&) { return Set(&Options::version, o); }},
      {"--yes", false, [](Options& o, const std::string&) { return Set(&Options::yes, o); }},
      {"--wait", false, [](Options& o, const std::string&) { return Set(&Options::wait, o); }},
      {"--debug", false, [](Options& o, const std::string&) { return Set(&Options::debug, o); }},
      {"--list", false, [](Options& o, const std::string&) { return Set(&Options::list, o); }},
      {"--json", false, [](Options& o, const std::string&) { return Set(&Options::json, o); }},
      {"--all", false, [](Options& o, const std::string&) { return Set(&Options::all, o); }},
      {"--station", false,
       [](Options& o, const std::string&) { return Set(&Options::station, o); }},
      {"--child", false, [](Options& o, const std::string&) { return Set(&Options::child, o); }},
      {"--skip-current", false,
       [](Options& o, const std::string&) { return Set(&Options::skipCurrent, o); }},
      {"--timeout", true,
       [](Options& o, const std::string& value) {
         char* end = nullptr;
         const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
         if (value.empty() || *end != '\0' || seconds == 0 || seconds > 24 * 3600) return false;
         o.timeoutSeconds = static_cast<std::uint32_t>(seconds);
         return true;
       }},
      {"--device", true,
       [](Options& o, const std::string& value) {
         o.device = value;
         return !value.empty();
       }},
      {"--log", true,
       [](Options& o, const std::string& value) {
         o.log = value;
         return !value.empty();
       }},
      {"--record", true,
       [](Options& o, const std::string& value) {
         o.record = value;
         return !value.empty();
       }},
  };
  return table;
}

// What options cannot be given together, and what each mode needs.
std::string Conflict(const Options& o) {
  const int modes = int{o.list} + int{o.all} + int{o.station};
  if (modes > 1) return "--list, --all and --station are one each";
  if (o.list && o.package) return "--list takes no package";
  if ((o.all || o.station) && !o.package) return "--all and --station need a package";
  if ((o.all || o.station || o.list) && o.device) return "--device names one controller";
  if (o.json && !o.list) return "--json goes with --list";
  if (o.log && !(o.all || o.station)) return "--log goes with --all or --station";
  if (o.skipCurrent && !o.child) return "--skip-current is --station's own";
  if (o.record && (o.all || o.station || o.list)) return "--record is for one controller";
  return {};
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const Option* option = nullptr;
    for (const Option& candidate : Table()) {
      if (argument == candidate.name) option = &candidate;
    }
    if (option == nullptr) {
      if (argument.rfind("-", 0) == 0 || options.package) {
        return {std::nullopt, "unexpected argument '" + argument + "'"};
      }
      options.package = argument;
      continue;
    }
    std::string value;
    if (option->takesValue) {
      if (i + 1 >= arguments.size()) return {std::nullopt, argument + " needs a value"};
      value = arguments[++i];
    }
    if (!option->apply(options, value)) {
      return {std::nullopt, "wrong value for " + argument + ": '" + value + "'"};
    }
  }
  if (options.help || options.version) return {options, {}};
  if (const std::string conflict = Conflict(options); !conflict.empty()) {
    return {std::nullopt, conflict};
  }
  return {options, {}};
}

}  // namespace kestro::cli
