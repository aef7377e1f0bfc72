// The HID port of the test build: the HID interfaces are those an emulated controller describes
// over the device link, a TCP line protocol (see the device-link contract). Everything above the
// port is the shipped code.
//
// Device paths are "\\?\link#<id>", shaped like a Windows interface path so that the diagnostic
// lines read the same; the interface id follows the '#'.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/HidPort.h"
#include "platform/link/InterfaceTable.h"
#include "platform/link/LineConnection.h"
#include "platform/link/LinkLine.h"
#include "platform/link/ServerLine.h"
#include "platform/win32/PlatformPort.h"
#include "platform/win32/Win32WindowSystem.h"
// The SDK headers come last (see Win32Api.h).
#include "platform/win32/Win32Api.h"

namespace kestro::link {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kPathPrefix[] = L"\\\\?\\link#";
constexpr char kAddressVariable[] = "KESTRO_DEVICE_LINK";
// The contract's bound on the wait for "ready".
constexpr std::chrono::milliseconds kReadyWait{5000};

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring PathOf(const std::string& id) { return kPathPrefix + Widen(id); }

// Only paths made by PathOf are ever attached, so the id is ASCII.
std::string IdOf(const std::wstring& path) {
  const std::wstring id = path.substr(std::wstring(kPathPrefix).size());
  return std::string(id.begin(), id.end());
}

void IgnoredLine(const std::string& line, const std::string& why) {
  DebugLine(L"device link: ignored line (%ls): %ls", Widen(why).c_str(),
            Widen(Shortened(line)).c_str());
}

// The Win32 error a failed call leaves, as a Windows HID handle would.
DWORD ErrorOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kNoHandle:
      return ERROR_INVALID_HANDLE;
    case Outcome::kNoAccess:
    case Outcome::kRefused:
      return ERROR_ACCESS_DENIED;
    case Outcome::kStalled:
      return ERROR_SEM_TIMEOUT;
    default:
      return ERROR_DEVICE_NOT_CONNECTED;
  }
}

class LinkHidPort : public HidPort {
 public:
  LinkHidPort();
  ~LinkHidPort() override;
  LinkHidPort(const LinkHidPort&) = delete;
  LinkHidPort& operator=(const LinkHidPort&) = delete;

  std::vector<std::wstring> EnumerateInterfaces() override;
  PortHandle Open(const std::wstring& path, PortAccess access) override;
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override;
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
  void Close(PortHandle handle) override;
  NotifyRegistration RegisterNotifications(NativeWindow window) override;
  void UnregisterNotifications(NotifyRegistration registration) override;
  std::uint32_t LastError() override { return ::GetLastError(); }

 private:
  enum class Applied { kDone, kReady };

  void AwaitReady();
  void ReaderLoop();
  // The next line to apply; false once the connection has ended.
  bool Receive(std::string& line, std::optional<Clock::time_point> deadline, bool& timedOut);
  Applied Apply(const std::string& received);
  // Changes the interfaces and wakes the reads and writes that wait on them.
  template <typename Edit>
  void ChangeInterfaces(Edit edit) {
    std::lock_guard<std::mutex> lock(m_lock);
    edit();
    m_changed.notify_all();
  }
  void ApplyNotify(ServerLine::Event event);
  bool Send(const std::string& line);
  void Disconnect();

  LineConnection m_connection;
  std::atomic<bool> m_connected{false};
  std::thread m_reader;

  std::mutex m_lock;
  std::condition_variable m_changed;  // a report queued, an interface detached, a handle closed
  InterfaceTable m_interfaces;
  HWND m_notifyWindow = nullptr;
};

LinkHidPort::LinkHidPort() {
  const char* address = std::getenv(kAddressVariable);
  if (address == nullptr || *address == '\0') return;  // no link: no HID interfaces
  std::string error;
  unsigned long systemError = 0;
  if (!m_connection.Connect(address, error, systemError)) {
    DebugLine(L"device link: %ls (error %lu); no HID interface is present", Widen(error).c_str(),
              systemError);
    return;
  }
  m_connected = true;
  if (!Send("hello 1")) return;
  AwaitReady();
  if (m_connected) m_reader = std::thread([this] { ReaderLoop(); });
}

LinkHidPort::~LinkHidPort() {
  // Ends the reader's blocking receive.
  m_connection.Shut();
  if (m_reader.joinable()) m_reader.join();
}

// Applies the lines that describe the state at start, so that the first search sees them.
void LinkHidPort::AwaitReady() {
  const Clock::time_point deadline = Clock::now() + kReadyWait;
  std::string line;
  bool timedOut = false;
  while (Receive(line, deadline, timedOut)) {
    if (Apply(line) == Applied::kReady) return;
  }
  if (timedOut) {
    DebugLine(L"device link: no \"ready\" within %d ms; going on",
              static_cast<int>(kReadyWait.count()));
    return;
  }
  Disconnect();
}

void LinkHidPort::ReaderLoop() {
  std::string line;
  bool timedOut = false;
  // Nothing the server says counts once the link is broken (a failed send ends it too).
  while (m_connected && Receive(line, std::nullopt, timedOut)) Apply(line);
  Disconnect();
}

bool LinkHidPort::Receive(std::string& line, std::optional<Clock::time_point> deadline,
                          bool& timedOut) {
  for (;;) {
    switch (m_connection.ReadLine(line, deadline)) {
      case LineConnection::Received::kLine:
        return true;
      case LineConnection::Received::kTooLong:
        IgnoredLine(line, "too long");
        break;
      case LineConnection::Received::kTimeout:
        timedOut = true;
        return false;
      case LineConnection::Received::kClosed:
        return false;
    }
  }
}

LinkHidPort::Applied LinkHidPort::Apply(const std::string& received) {
  std::string why;
  const std::optional<ServerLine> line = ParseServerLine(received, why);
  if (!line) {
    IgnoredLine(received, why);
    return Applied::kDone;
  }
  switch (line->verb) {
    case ServerLine::Verb::kAttach:
      ChangeInterfaces([&] {
        m_interfaces.Attach(PathOf(line->id), {line->vendorId, line->productId},
                            {.noOpen = line->noOpen, .noAttr = line->noAttr});
      });
      break;
    case ServerLine::Verb::kDetach:
      ChangeInterfaces([&] { m_interfaces.Detach(PathOf(line->id)); });
      break;
    case ServerLine::Verb::kInput: {
      InterfaceTable::ReportBytes report{};  // byte 0: report id 0
      std::memcpy(report.data() + 1, line->payload, kPayloadSize);
      ChangeInterfaces([&] { m_interfaces.Input(PathOf(line->id), report); });
      break;
    }
    case ServerLine::Verb::kStall:
      ChangeInterfaces([&] {
        if (InterfaceFlags* flags = m_interfaces.Flags(PathOf(line->id))) flags->stalled = true;
      });
      break;
    case ServerLine::Verb::kNotify:
      ApplyNotify(line->event);
      break;
    case ServerLine::Verb::kReady:
      return Applied::kReady;
    case ServerLine::Verb::kSync:
      Send("sync " + line->token);
      break;
  }
  return Applied::kDone;
}

void LinkHidPort::ApplyNotify(ServerLine::Event event) {
  const WPARAM type = event == ServerLine::Event::kArrival   ? DBT_DEVICEARRIVAL
                      : event == ServerLine::Event::kRemoval ? DBT_DEVICEREMOVECOMPLETE
                                                             : DBT_DEVNODES_CHANGED;
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    window = m_notifyWindow;
  }
  // Posted, so that the reader never waits for the dialog (whose handler opens the device and
  // reads reports that only the reader can deliver); see kPostedDeviceChange for why not as
  // WM_DEVICECHANGE itself. The registered window is the main dialog, which also gets the
  // devnodes message.
  if (window != nullptr && !::PostMessageW(window, win32::kPostedDeviceChange, type, 0)) {
    DebugLine(L"device link: notification not delivered (error %lu)", ::GetLastError());
  }
}

// The send itself is bounded by the socket's send time-out.
bool LinkHidPort::Send(const std::string& line) {
  if (!m_connected) return false;
  if (m_connection.Send(line)) return true;
  Disconnect();
  return false;
}

// The connection is gone: every interface counts as detached from now on, and the reader's
// receive ends as well.
void LinkHidPort::Disconnect() {
  if (m_connected.exchange(false)) {
    DebugLine(L"device link: connection closed");
    m_connection.Shut();
  }
  ChangeInterfaces([&] { m_interfaces.DetachAll(); });
}

std::vector<std::wstring> LinkHidPort::EnumerateInterfaces() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_interfaces.Attached();
}

PortHandle LinkHidPort::Open(const std::wstring& path, PortAccess access) {
  PortHandle handle = kNoHandle;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    // Registered before the server hears of it, so that no report sent in answer is missed.
    const Outcome outcome = m_interfaces.Open(path, access, handle);
    if (outcome != Outcome::kDone) {
      ::SetLastError(outcome == Outcome::kNotPresent ? ERROR_FILE_NOT_FOUND : ErrorOf(outcome));
      return kNoHandle;
    }
  }
  const char* mode = access == PortAccess::ProbeReadWrite ? "rw"
                     : access == PortAccess::Write        ? "w"
                                                          : "r";
  Send("open " + IdOf(path) + " " + std::to_string(handle) + " " + mode);
  return handle;
}

bool LinkHidPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  std::lock_guard<std::mutex> lock(m_lock);
  const Outcome outcome = m_interfaces.GetAttributes(handle, attributes);
  if (outcome == Outcome::kDone) return true;
  ::SetLastError(outcome == Outcome::kRefused ? ERROR_INVALID_FUNCTION : ErrorOf(outcome));
  return false;
}

bool LinkHidPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  InterfaceTable::Instance target;
  {
    std::unique_lock<std::mutex> lock(m_lock);
    const Outcome outcome = m_interfaces.Write(handle, &target);
    if (outcome == Outcome::kStalled) {
      // The controller no longer takes reports: the write waits its bound (or the device's
      // removal) and fails, and nothing goes out.
      m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_interfaces.Write(handle) != Outcome::kStalled; });
    }
    if (outcome != Outcome::kDone) {
      ::SetLastError(ErrorOf(outcome));
      return false;
    }
  }
  if (!Send("output " + IdOf(target.path) + " " + ToHex(report, kReportSize))) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  return true;
}

std::uint32_t LinkHidPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  InterfaceTable::ReportBytes taken;
  Outcome outcome = m_interfaces.Read(handle, taken);
  if (outcome == Outcome::kNoReport) {
    // A removed device or a closed handle ends the wait at once, queued reports or not.
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      outcome = m_interfaces.Read(handle, taken);
      return outcome != Outcome::kNoReport;
    });
  }
  switch (outcome) {
    case Outcome::kDone:
      std::memcpy(report, taken.data(), kReportSize);
      return kWaitReceived;
    case Outcome::kNoReport:
      return kWaitTimeout;
    default:
      ::SetLastError(ErrorOf(outcome));
      return kWaitReadFailed;
  }
}

void LinkHidPort::Close(PortHandle handle) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_interfaces.Close(handle)) return;
    m_changed.notify_all();
  }
  Send("close " + std::to_string(handle));
}

NotifyRegistration LinkHidPort::RegisterNotifications(NativeWindow window) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_notifyWindow = static_cast<HWND>(window);
  return &m_notifyWindow;
}

void LinkHidPort::UnregisterNotifications(NotifyRegistration registration) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (registration == &m_notifyWindow) m_notifyWindow = nullptr;
}

}  // namespace
}  // namespace kestro::link

std::unique_ptr<kestro::HidPort> CreatePlatformHidPort() {
  return std::make_unique<kestro::link::LinkHidPort>();
}
