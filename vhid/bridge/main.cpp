// kestro-vhid.exe: puts the emulated controller of a device-link server into Wine's own HID
// stack, so that the shipped program finds, opens, reads and writes it as a USB controller.
//
//   kestro-vhid.exe serve HOST:PORT
//
// Prints "ready" once the server's start state is present, runs until the server closes the
// connection, removes its devices and exits 0. Any failure: one line on standard error, exit 1.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/link/LineConnection.h"
#include "vhid/bridge/Bridge.h"
#include "vhid/bridge/Win32Error.h"
#include "vhid/bridge/Win32VirtualStack.h"

namespace {

using kestro::link::LineConnection;
using kestro::vhid::Bridge;
using kestro::vhid::Win32VirtualStack;

constexpr char kUsage[] = "usage: kestro-vhid serve HOST:PORT\n";

void Say(const std::string& message) {
  std::fprintf(stderr, "kestro-vhid: %s\n", message.c_str());
  std::fflush(stderr);
}

// The driver and its INF lie beside the program.
std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  const std::size_t slash = directory.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : directory.substr(0, slash);
}

bool Connect(LineConnection& connection, const std::string& address) {
  std::string error;
  unsigned long systemError = 0;
  if (connection.Connect(address, error, systemError)) return true;
  Say(systemError == 0
          ? error
          : error + ": " + kestro::vhid::Win32ErrorText(static_cast<DWORD>(systemError)));
  return false;
}

// The output reports that the virtual stack's own thread collects: each goes to the server while
// a bridge is set, and a failure to collect them ends the run.
class OutputReports {
 public:
  explicit OutputReports(LineConnection& connection) : m_connection(connection) {}

  void SetBridge(const Bridge* bridge) { m_bridge = bridge; }
  void Forward(std::uint32_t serial, const std::uint8_t (&report)[VHID_REPORT_BYTES]) {
    const Bridge* current = m_bridge.load();
    if (current == nullptr) return;
    if (const auto line = current->OutputLine(serial, report)) m_connection.Send(*line);
  }
  void Fail(const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(m_failureLock);
      m_failure = why;
    }
    m_connection.Shut();  // the main loop sees the end and reports why
  }
  // Why reports could no longer be collected; empty while they can.
  std::string Failure() const {
    std::lock_guard<std::mutex> lock(m_failureLock);
    return m_failure;
  }

 private:
  LineConnection& m_connection;
  std::atomic<const Bridge*> m_bridge{nullptr};
  mutable std::mutex m_failureLock;
  std::string m_failure;
};

// Says hello and applies the server's lines until the connection ends or one cannot be applied.
// Returns why the run failed, or "" when the server ended it.
std::string ApplyServerLines(LineConnection& connection, Bridge& lines,
                             const OutputReports& outputs) {
  connection.Send("hello 1");
  bool readyPrinted = false;
  for (;;) {
    std::string line;
    const LineConnection::Received received = connection.ReadLine(line);
    if (received == LineConnection::Received::kTooLong) {
      // Ignored like any malformed line; the rest of it is skipped.
      Say("ignored a malformed line from the server: longer than any the device link defines");
      continue;
    }
    if (received != LineConnection::Received::kLine) return outputs.Failure();
    switch (lines.Apply(line)) {
      case Bridge::Step::kFailed:
        return lines.Failure();
      case Bridge::Step::kReady:
        if (!readyPrinted) {
          std::printf("ready\n");
          std::fflush(stdout);
          readyPrinted = true;
        }
        break;
      case Bridge::Step::kGoOn:
        break;
    }
  }
}

// Ends the run: the devices go, and no output report is taken after this. The exit status.
int Finish(Bridge& lines, Win32VirtualStack& stack, OutputReports& outputs,
           const std::string& failure) {
  std::string removal;
  const bool removed = lines.RemoveAll(removal);
  stack.Close();
  outputs.SetBridge(nullptr);
  if (!failure.empty()) {
    Say(failure);
    return 1;
  }
  if (!removed) {
    Say(removal);
    return 1;
  }
  return 0;
}

int Serve(const std::string& address) {
  LineConnection connection;
  if (!Connect(connection, address)) return 1;
  OutputReports outputs(connection);
  Win32VirtualStack stack(
      ProgramDirectory(),
      [&](std::uint32_t serial, const std::uint8_t(&report)[VHID_REPORT_BYTES]) {
        outputs.Forward(serial, report);
      },
      [&](const std::string& why) { outputs.Fail(why); });
  std::string error;
  if (!stack.Prepare(error)) {
    Say(error);
    return 1;
  }
  Bridge lines(
      stack, [&](const std::string& line) { connection.Send(line); }, Say, stack.FirstSerial());
  outputs.SetBridge(&lines);
  const std::string failure = ApplyServerLines(connection, lines, outputs);
  return Finish(lines, stack, outputs, failure);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "serve") return Serve(argv[2]);
  std::fputs(kUsage, stderr);
  return 2;
}
