// What the terminal front needs of the system it runs on, apart from the HID port's calls: the
// user's language, the controller port, waiting for controllers to come, Ctrl-C, and starting the
// program again for one controller. Implemented for Linux (cli/posix) and Windows (cli/win32).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HidPort.h"

namespace kestro::cli {

// What the process sets up before anything else: on Windows, DLLs loaded without a path come from
// the system folder only, never from the program's folder where anyone may have left one.
void PrepareProcess();

// Chinese when the user's language is Simplified Chinese as in mainland China (Linux: the first of
// LC_ALL, LC_MESSAGES, LANG that is set names zh_CN; Windows: interface language 2052).
bool LocaleIsChinese();

// The system's HID port: hidraw on Linux, Windows' own HID stack on Windows.
std::unique_ptr<HidPort> CreateControllerPort();

// Interfaces the user may not open for want of permission, with the identity the system gives
// them without opening (Linux's udev), found by the port's last enumeration.
struct DeniedInterface {
  std::wstring path;
  HidAttributes attributes;
};
std::vector<DeniedInterface> DeniedInterfaces(HidPort& port);
// How the user gets permission, for the line that tells of a denied controller.
std::string PermissionAdvice();

// Waits for HID interfaces to come or go.
class ArrivalWatch {
 public:
  explicit ArrivalWatch(HidPort& port);
  ~ArrivalWatch();
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;
  // False when it cannot watch: then only the time-out is waited for.
  bool Ready() const;
  // Waits at most timeoutMs for an interface to come or go; true when one did. A stop request
  // (Ctrl-C) ends the wait early too.
  bool WaitForChange(std::uint32_t timeoutMs);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// Ctrl-C. `handler` runs on Linux in a signal handler (async-signal-safe calls only), on Windows
// on a thread of its own.
void CatchInterrupts(void (*handler)());
// Ends the program as the system ends one that the user interrupted.
[[noreturn]] void EndInterrupted();
// Writes to standard error from an interrupt handler.
void InterruptMessage(const std::string& text);

// The system's words for one of its error codes (errno, or GetLastError's).
std::string ErrorText(std::uint32_t code);

// This process's id, to name its files.
unsigned long ProcessId();

// This program's own file, to start it again for one controller.
std::string ProgramPath();

// The program started again, its standard input and output through pipes, its standard error the
// parent's, and out of the reach of the terminal's Ctrl-C (the parent decides for it).
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::vector<std::string>& arguments);  // arguments[0]: the program
  // One line of its standard output, without the line feed; false at its end.
  bool ReadLine(std::string& line);
  // A line to its standard input.
  void WriteLine(const std::string& line);
  // Waits for it to end: its exit status, or -1 when it was killed.
  int Wait();
  // Its peak resident memory in KiB once it has ended, where the system tells it (else 0).
  std::uint64_t PeakMemoryKiB() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace kestro::cli
