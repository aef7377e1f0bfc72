// Many controllers: --list looks at each in turn, as the dialog looks at one; --all and --station
// update each with a program of its own (this one, started again with --device and --child), so
// that the update's process-wide values serve one controller per process and one controller's
// fault stays its own. This program only watches them, draws their progress and sums up.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/ChildLines.h"
#include "cli/Front.h"
#include "cli/Interrupts.h"
#include "cli/Json.h"
#include "cli/PackageCheck.h"
#include "cli/System.h"
#include "cli/Texts.h"
#include "hid/Hid.h"
#include "platform/Diagnostics.h"
#include "platform/Utf8.h"
#include "platform/console/Console.h"
#include "update/UpdateSession.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace kestro::cli {
namespace {

using Clock = std::chrono::steady_clock;

// --- looking at the controllers ------------------------------------------------------------------

// What a look at one interface found.
struct Controller {
  std::wstring path;
  HidAttributes ids;
  bool boot = false;
  std::string problem;                   // why it cannot be worked with; empty when it can
  std::optional<std::uint32_t> version;  // the version word it told
  std::wstring title;                    // as the dialog's title shows the version
  bool modelKnown = false;
  std::uint16_t model = 0;
  std::uint8_t variant = 0;
};

std::string Identity(const Controller& c) {
  char text[32];
  std::snprintf(text, sizeof text, "%s %04x:%04x", c.boot ? "boot" : "normal", c.ids.vendorId,
                c.ids.productId);
  return text;
}

// The version as the title shows it: the part in parentheses.
std::string VersionText(const Controller& c) {
  const std::string title = ToUtf8(c.title);
  const std::size_t open = title.rfind('(');
  if (!c.title.empty() && open != std::string::npos && title.back() == ')') {
    return title.substr(open + 1, title.size() - open - 2);
  }
  if (c.version == kVersionNoFirmware) return "no valid firmware";
  return "no version";
}

std::string Hex32(std::uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", word);
  return text;
}

// A front for the version query of a look: it keeps what the query tells.
class LookHost : public UpdateHost {
 public:
  explicit LookHost(const Texts& texts) : m_texts(texts) {}
  std::wstring Text(int index) override { return m_texts.Text(index); }
  std::optional<std::wstring> ChoosePackage() override { return std::nullopt; }
  bool ConfirmImage(const std::wstring&) override { return false; }
  void ShowVersion(const std::wstring& shown, bool) override { title = shown; }
  void Tell(const std::wstring& message, From) override { told = ToUtf8(ForTerminal(message)); }
  void Finish(Outcome, const std::wstring&, From) override {}
  void AllowUpdate(bool) override {}
  void AllowUpdateIfControllerFound() override {}
  void SetProgress(std::uint32_t, std::uint32_t, std::uint32_t) override {}
  void Wait(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
  }

  std::wstring title;
  std::string told;

 private:
  const Texts& m_texts;
};

// Every supported controller present, in the system's order; with `askVersions` each asked its
// version as the dialog asks it, one after another (the update's process-wide values serve one
// controller at a time).
std::vector<Controller> Look(HidPort& port, const Texts& texts, bool askVersions) {
  std::vector<Controller> found;
  for (const std::wstring& path : port.EnumerateInterfaces()) {
    CHid hid(port);
    hid.LimitTo(path);
    if (!hid.FindDevice()) {
      for (const DeniedInterface& denied : DeniedInterfaces(port)) {
        if (denied.path != path || !IsSupportedController(denied.attributes)) continue;
        Controller c;
        c.path = path;
        c.ids = denied.attributes;
        c.boot = denied.attributes.productId == kProductBoot;
        c.problem = "no permission to open it; " + PermissionAdvice();
        found.push_back(c);
      }
      continue;
    }
    Controller c;
    c.path = path;
    c.ids = hid.DeviceAttributes();
    c.boot = DeviceKind.load() == kDeviceKindBoot;
    if (askVersions) {
      LookHost host(texts);
      Updater updater(hid, host);
      updater.Context().ClearImageFields();
      updater.QueryDeviceVersion();
      updateState = kUpdateStateIdle;
      if (deviceVersion.load() != kVersionUnknown) c.version = deviceVersion.load();
      c.title = host.title;
      c.modelKnown = c.boot && updater.ModelKnown();
      c.model = updater.Context().deviceModelId;
      c.variant = updater.Context().deviceVariant;
      if (c.boot && !c.modelKnown) c.problem = host.told.empty() ? "no answer" : host.told;
    }
    found.push_back(c);
  }
  return found;
}

// --- many updates at once ------------------------------------------------------------------------

// One controller's update, run by a program of its own.
struct Run {
  Controller controller;
  std::string offer;  // what the package holds for it
  ChildProcess process;
  std::thread reader;
  std::atomic<bool> ended{false};
  Clock::time_point started;
  Clock::time_point finished;
  // The package as this run's program reads it: a copy of its own, since the updater opens its
  // package without sharing (on Windows a second program could not open the same file).
  std::filesystem::path package;
  // Guarded by the board's lock.
  std::string outcome;  // the child's outcome word; empty when it told none
  std::string text;     // the outcome's text, else its last message or note
  std::optional<std::uint32_t> before;
  std::optional<std::uint32_t> target;
  std::uint32_t percent = 0;
  std::uint64_t bytes = 0;
  int status = -1;
  std::uint64_t peakKiB = 0;
};

std::optional<std::uint32_t> WordOf(const std::string& hex) {
  if (hex.empty() || hex == "unknown") return std::nullopt;
  return static_cast<std::uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
}

std::string Name(const Run& run) { return ToUtf8(run.controller.path); }

// The runs' progress on standard error: on a terminal one line per controller, redrawn in
// place; otherwise a line at every tenth and at each end.
class Board {
 public:
  // Without `progressLines`, a pipe gets only the endings.
  Board(bool terminal, bool progressLines = true)
      : m_terminal(terminal), m_progressLines(progressLines) {}

  std::mutex& Lock() { return m_lock; }

  // With the lock held.
  void Add(Run& run) {
    m_runs.push_back(&run);
    m_lastTenth.push_back(-1);
    if (m_terminal) {
      console::Err(LineOf(run, true) + "\n");
      ++m_drawn;
    }
  }
  void Changed(const Run& run) {
    if (m_terminal) {
      Redraw();
      return;
    }
    if (!m_progressLines) return;
    const std::size_t index = IndexOf(run);
    // -1 before the first line, 0 to 10 by tenths, 11 once the ending was shown.
    const int tenth =
        run.outcome.empty() ? static_cast<int>(std::min<std::uint32_t>(run.percent, 100) / 10) : 11;
    if (tenth == m_lastTenth[index]) return;
    m_lastTenth[index] = tenth;
    console::Err(LineOf(run, false) + "\n");
  }
  void Redraw() {
    if (!m_terminal || m_drawn == 0) return;
    std::string text = "\r\033[" + std::to_string(m_drawn) + "A";
    for (const Run* run : m_runs) text += "\r" + LineOf(*run, true) + "\033[K\n";
    console::Err(text);
  }

 private:
  std::size_t IndexOf(const Run& run) const {
    return static_cast<std::size_t>(std::find(m_runs.begin(), m_runs.end(), &run) - m_runs.begin());
  }
  static std::string LineOf(const Run& run, bool bar) {
    std::string line = Name(run) + "  ";
    if (!run.outcome.empty()) return line + Ending(run);
    if (run.percent == 0) return line + "starting";
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3u%%", run.percent);
    if (!bar) return line + percent;
    const int filled = static_cast<int>(std::min<std::uint32_t>(run.percent, 100) * 20 / 100);
    return line + "[" + std::string(filled, '#') + std::string(20 - filled, ' ') + "] " + percent;
  }

 public:
  // How a run ended, in one line's words.
  static std::string Ending(const Run& run) {
    if (run.outcome == child::kCurrent) return "already current (" + run.text + "), left alone";
    if (run.outcome == "succeeded") return run.text.empty() ? "updated" : run.text;
    if (!run.text.empty()) return run.text;
    return run.outcome == "failed" ? "failed" : "not updated";
  }

 private:
  bool m_terminal;
  bool m_progressLines;
  std::mutex m_lock;
  std::vector<Run*> m_runs;
  std::vector<int> m_lastTenth;
  std::size_t m_drawn = 0;
};

// Starts a program of its own for the run's controller, and a thread that follows its lines.
bool Start(Run& run, Board& board, const Options& options, bool skipCurrent) {
  static int copies = 0;
  const std::filesystem::path original = PathOf(*options.package);
  std::filesystem::path name =
      "kestro-update-" + std::to_string(ProcessId()) + "-" + std::to_string(++copies) + "-";
  name += original.filename();
  run.package = std::filesystem::temp_directory_path() / name;
  std::error_code error;
  std::filesystem::copy_file(original, run.package,
                             std::filesystem::copy_options::overwrite_existing, error);
  std::vector<std::string> arguments = {ProgramPath(), "--device", Name(run), "--child"};
  if (skipCurrent) arguments.push_back("--skip-current");
  if (options.debug) arguments.push_back("--debug");
  arguments.push_back(error ? *options.package : PathText(run.package));
  run.started = Clock::now();
  if (!run.process.Start(arguments)) {
    std::lock_guard<std::mutex> lock(board.Lock());
    run.outcome = "not-made";
    run.text = "cannot start " + arguments[0];
    run.finished = Clock::now();
    run.ended = true;
    return false;
  }
  run.reader = std::thread([&run, &board] {
    std::string line;
    while (run.process.ReadLine(line)) {
      const child::Parsed parsed = child::Parse(line);
      std::lock_guard<std::mutex> lock(board.Lock());
      if (parsed.word == child::kFound) {
        // "<mode> <vid> <pid> <version>"
        run.before = WordOf(parsed.rest.substr(parsed.rest.rfind(' ') + 1));
      } else if (parsed.word == child::kTarget) {
        run.target = WordOf(parsed.rest);
      } else if (parsed.word == child::kProgress) {
        unsigned percent = 0;
        unsigned long long bytes = 0;
        if (std::sscanf(parsed.rest.c_str(), "%u %llu", &percent, &bytes) == 2) {
          run.percent = percent;
          run.bytes = bytes;
        }
      } else if (parsed.word == child::kMessage || parsed.word == child::kNote) {
        run.text = parsed.rest;
      } else if (parsed.word == child::kOutcome) {
        const std::size_t blank = parsed.rest.find(' ');
        run.outcome = parsed.rest.substr(0, blank);
        const std::string text = blank == std::string::npos ? "" : parsed.rest.substr(blank + 1);
        if (!text.empty() || run.outcome == "succeeded") run.text = text;
      } else {
        continue;
      }
      board.Changed(run);
    }
    const int status = run.process.Wait();
    std::lock_guard<std::mutex> lock(board.Lock());
    run.status = status;
    run.peakKiB = run.process.PeakMemoryKiB();
    run.finished = Clock::now();
    if (run.outcome.empty()) {
      // It ended without a verdict: it found no controller, or crashed.
      run.outcome = status == kExitDone ? "succeeded" : "not-made";
      if (run.text.empty()) run.text = "ended with status " + std::to_string(status);
    }
    board.Changed(run);
    run.ended = true;
  });
  return true;
}

void Join(Run& run) {
  if (run.reader.joinable()) run.reader.join();
  std::error_code error;
  std::filesystem::remove(run.package, error);
}

// --- the log -------------------------------------------------------------------------------------

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// One JSON line per finished controller, appended as it finishes.
class Log {
 public:
  // False, with why, when the file cannot be written: refused before any controller is touched.
  bool Open(const std::optional<std::string>& path, std::string& why) {
    if (!path) return true;
    m_file.open(PathOf(*path), std::ios::app | std::ios::binary);
    if (!m_file) why = "cannot write the log " + *path;
    return static_cast<bool>(m_file);
  }
  void Add(const Run& run) {
    if (!m_file.is_open()) return;
    json::Object line;
    line.String("time", UtcNow())
        .String("path", Name(run))
        .String("mode", run.controller.boot ? "boot" : "normal");
    char ids[8];
    std::snprintf(ids, sizeof ids, "%04x", run.controller.ids.vendorId);
    line.String("vendorId", ids);
    std::snprintf(ids, sizeof ids, "%04x", run.controller.ids.productId);
    line.String("productId", ids);
    const auto version = [&](const char* name, std::optional<std::uint32_t> word) {
      if (word) {
        line.String(name, Hex32(*word));
      } else {
        line.Null(name);
      }
    };
    version("versionBefore", run.before);
    std::optional<std::uint32_t> after;
    if (run.outcome == "succeeded") after = run.target;
    if (run.outcome == child::kCurrent || run.outcome == "not-made") after = run.before;
    version("versionAfter", after);
    line.String("outcome", run.outcome)
        .String("text", run.text)
        .Number("seconds", std::chrono::duration<double>(run.finished - run.started).count())
        .Integer("bytes", run.bytes);
    m_file << line.Text() << "\n";
    m_file.flush();
  }

 private:
  std::ofstream m_file;
};

bool Succeeded(const Run& run) { return run.outcome == "succeeded"; }

}  // namespace

// --- --list --------------------------------------------------------------------------------------

int ListControllers(const Options& options, const Texts& texts) {
  std::unique_ptr<HidPort> port = CreateControllerPort();
  const std::vector<Controller> controllers = Look(*port, texts, true);
  if (options.json) {
    std::string out = "[";
    for (const Controller& c : controllers) {
      json::Object object;
      object.String("path", ToUtf8(c.path)).String("mode", c.boot ? "boot" : "normal");
      char ids[8];
      std::snprintf(ids, sizeof ids, "%04x", c.ids.vendorId);
      object.String("vendorId", ids);
      std::snprintf(ids, sizeof ids, "%04x", c.ids.productId);
      object.String("productId", ids);
      if (c.version) {
        object.String("version", VersionText(c)).String("versionWord", Hex32(*c.version));
      } else {
        object.Null("version").Null("versionWord");
      }
      if (c.modelKnown) object.Integer("model", c.model).Integer("variant", c.variant);
      if (!c.problem.empty()) object.String("problem", c.problem);
      out += (out.size() > 1 ? "," : "") + object.Text();
    }
    console::Out(out + "]\n");
  } else {
    for (const Controller& c : controllers) {
      std::string line = ToUtf8(c.path) + "  " + Identity(c) + "  ";
      line += c.problem.empty() || c.version ? VersionText(c) : "cannot be used";
      if (c.modelKnown) {
        char model[48];
        std::snprintf(model, sizeof model, " (model 0x%04x, variant %u)", c.model, c.variant);
        line += model;
      }
      if (!c.problem.empty()) line += ": " + c.problem;
      console::Out(line + "\n");
    }
  }
  if (controllers.empty()) {
    Say("no controller found");
    return kExitNoController;
  }
  return kExitDone;
}

// The package readable and the log writable, or the one line that says why not: checked before
// any controller is touched.
bool PackageAndLogReady(const Options& options, Log& log) {
  if (const auto problem = PackageFileProblem(*options.package)) {
    Say(*problem);
    return false;
  }
  std::string why;
  if (log.Open(options.log, why)) return true;
  Say(why);
  return false;
}

// --- --all ---------------------------------------------------------------------------------------

int UpdateAll(const Options& options, const Texts& texts) {
  Log log;
  if (!PackageAndLogReady(options, log)) return kExitFailed;
  std::unique_ptr<HidPort> port = CreateControllerPort();
  const std::vector<Controller> controllers = Look(*port, texts, true);
  if (controllers.empty()) {
    Say("no controller found");
    SayInstructions(texts);
    return kExitNoController;
  }

  // Each with the image the package holds for it; those it cannot be given are said now.
  std::vector<std::unique_ptr<Run>> runs;
  std::vector<std::string> refused;
  for (const Controller& c : controllers) {
    std::string problem = c.problem;
    std::string offer;
    if (problem.empty()) {
      const ImageFor image =
          FindImageFor(*options.package, c.boot, c.boot ? c.model : 0, c.boot ? c.variant : 0);
      if (image.image) {
        const ImageHeader& header = image.image->header;
        offer = ToUtf8(ForTerminal(FormatText(header.beta != 0 ? L"%ls %.1f beta%d" : L"%ls %.1f",
                                              texts.Text(kTextNewFirmware).c_str(),
                                              header.version / 100.0, header.beta)));
      } else {
        problem = image.problem;
      }
    }
    const std::string line = ToUtf8(c.path) + "  " + Identity(c) + "  " + VersionText(c);
    if (!problem.empty()) {
      refused.push_back(ToUtf8(c.path) + ": " + problem);
      console::Out(line + "  -- not updated: " + problem + "\n");
      continue;
    }
    console::Out(line + "  -> " + offer + "\n");
    auto run = std::make_unique<Run>();
    run->controller = c;
    run->offer = offer;
    runs.push_back(std::move(run));
  }
  if (runs.empty()) {
    Say("no controller can be updated with " + *options.package);
    return kExitFailed;
  }
  if (!options.yes) {
    console::Out(ToUtf8(texts.Text(1)) + " " + std::to_string(runs.size()) + "? [y/N] ");
    std::string answer;
    if (!console::ReadLine(answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
      return kExitFailed;
    }
  }

  // From here on the controllers are being written: Ctrl-C is counted, and acted on below.
  interrupts::CountOnly();
  Board board(console::ErrIsTerminal());
  {
    std::lock_guard<std::mutex> lock(board.Lock());
    for (auto& run : runs) board.Add(*run);
  }
  for (auto& run : runs) Start(*run, board, options, false);
  int pressesSeen = 0;
  bool stopped = false;
  for (;;) {
    const bool all =
        std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r->ended.load(); });
    if (all) break;
    const int presses = interrupts::Count();
    if (presses != pressesSeen) {
      pressesSeen = presses;
      std::lock_guard<std::mutex> lock(board.Lock());
      if (presses == 1) {
        Say("the controllers are being written; stopping now leaves them without working "
            "firmware. Press Ctrl-C again to stop anyway.");
      } else if (!stopped) {
        stopped = true;
        Say("stopping the updates");
        for (auto& run : runs) run->process.WriteLine(child::kAbort);
      }
      board.Redraw();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (auto& run : runs) Join(*run);

  // The summary: each controller's ending, then the count.
  std::size_t succeeded = 0;
  std::uint64_t peakKiB = 0;
  for (auto& run : runs) {
    log.Add(*run);
    succeeded += Succeeded(*run) ? 1 : 0;
    peakKiB += run->peakKiB;
    console::Out(Name(*run) + ": " + Board::Ending(*run) + "\n");
  }
  for (const std::string& line : refused) console::Out(line + "\n");
  const std::size_t total = runs.size() + refused.size();
  Say(std::to_string(succeeded) + " of " + std::to_string(total) + " controllers updated");
  if (options.debug)
    Say("peak memory of the updates together: " + std::to_string(peakKiB) + " KiB");
  if (stopped) SayInstructions(texts);
  return succeeded == total ? kExitDone : kExitFailed;
}

// --- --station -----------------------------------------------------------------------------------

int RunStation(const Options& options, const Texts& texts) {
  Log log;
  if (!PackageAndLogReady(options, log)) return kExitFailed;
  std::unique_ptr<HidPort> port = CreateControllerPort();
  ArrivalWatch watch(*port);
  interrupts::CountOnly();
  Say("updating each controller plugged in with " + *options.package +
      "; Ctrl-C takes no more, twice stops the running updates");

  // One line per controller as it ends, not a board: controllers come and go.
  Board board(false, false);
  std::vector<std::unique_ptr<Run>> runs;
  std::map<std::wstring, Run*> running;
  std::set<std::wstring> handled;  // taken since it was plugged in
  int pressesSeen = 0;
  bool stopped = false;
  bool failures = false;
  bool look = true;
  auto lastLook = Clock::now();
  for (;;) {
    const int presses = interrupts::Count();
    if (presses != pressesSeen) {
      pressesSeen = presses;
      std::lock_guard<std::mutex> lock(board.Lock());
      if (presses == 1 && !running.empty()) {
        Say("taking no more controllers; the running updates finish. Ctrl-C again stops them.");
      } else if (presses >= 2 && !stopped) {
        stopped = true;
        Say("stopping the running updates");
        for (auto& [path, run] : running) run->process.WriteLine(child::kAbort);
      }
    }
    // The runs that ended: their line, their log.
    for (auto it = running.begin(); it != running.end();) {
      Run& run = *it->second;
      if (!run.ended.load()) {
        ++it;
        continue;
      }
      Join(run);
      log.Add(run);
      failures = failures || !(Succeeded(run) || run.outcome == child::kCurrent);
      console::Out(UtcNow() + "  " + Name(run) + "  " + Identity(run.controller) + ": " +
                   Board::Ending(run) + "\n");
      it = running.erase(it);
    }
    if (presses >= 1 && running.empty()) break;
    // New controllers, while they are taken.
    if (presses == 0 && (look || Clock::now() - lastLook > std::chrono::seconds(2))) {
      look = false;
      lastLook = Clock::now();
      const std::vector<Controller> present = Look(*port, texts, false);
      std::set<std::wstring> paths;
      for (const Controller& c : present) paths.insert(c.path);
      // One taken and gone may come back: taken again then.
      for (auto it = handled.begin(); it != handled.end();) {
        it = paths.count(*it) == 0 && running.count(*it) == 0 ? handled.erase(it) : std::next(it);
      }
      for (const Controller& c : present) {
        if (handled.count(c.path) != 0) continue;
        handled.insert(c.path);
        if (!c.problem.empty()) {
          console::Out(UtcNow() + "  " + ToUtf8(c.path) + "  " + Identity(c) + ": " + c.problem +
                       "\n");
          failures = true;
          continue;
        }
        auto run = std::make_unique<Run>();
        run->controller = c;
        Run& started = *run;
        runs.push_back(std::move(run));
        running[c.path] = &started;
        {
          std::lock_guard<std::mutex> lock(board.Lock());
          board.Add(started);
        }
        Start(started, board, options, true);
      }
    }
    look = watch.WaitForChange(running.empty() ? 500 : 100) || look;
  }
  if (stopped) SayInstructions(texts);
  return failures ? kExitFailed : kExitDone;
}

}  // namespace kestro::cli
