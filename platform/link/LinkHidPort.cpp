// The HID port of the test build: the HID interfaces are those an emulated controller describes
// over the device link, a TCP line protocol (see the device-link contract). Everything above the
// port is the shipped code.
//
// Device paths are "\\?\link#<id>", shaped like a Windows interface path so that the diagnostic
// lines read the same; the interface id follows the '#'.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/HidPort.h"
#include "platform/link/LinkLine.h"
#include "platform/win32/PlatformPort.h"
#include "platform/win32/Win32WindowSystem.h"

// The SDK headers come last and in this order (see Win32Api.h).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/Win32Api.h"
// clang-format on

namespace kestro::link {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kPathPrefix[] = L"\\\\?\\link#";
constexpr char kAddressVariable[] = "KESTRO_DEVICE_LINK";
// The contract's limits.
constexpr std::chrono::milliseconds kReadyWait{5000};
constexpr std::size_t kUnreadReportLimit = 32;
// The longest valid line is far shorter ("input", a 64-character id and 128 hex digits); a longer
// one is discarded as it arrives instead of being collected without end.
constexpr std::size_t kMaxLineLength = 4096;
// Loopback refuses at once when no server listens; this only bounds a connect to an address
// that does not answer.
constexpr std::chrono::milliseconds kConnectWait{5000};
// A server that stops reading makes a write fail instead of blocking the program.
constexpr DWORD kSendTimeoutMs = 5000;
// How much of an ignored line a diagnostic repeats.
constexpr std::size_t kQuotedLineLength = 200;

using ReportBytes = std::array<std::uint8_t, kReportSize>;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool ParseHex16(const std::string& text, std::uint16_t& value) {
  std::uint8_t bytes[2];
  if (!ParseHex(text, bytes, 2)) return false;
  value = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

bool IsPrintableAscii(const std::string& line) {
  for (char c : line) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

void IgnoredLine(const std::string& line, const wchar_t* why) {
  const std::string quoted =
      line.size() > kQuotedLineLength ? line.substr(0, kQuotedLineLength) + "..." : line;
  DebugLine(L"device link: ignored line (%ls): %ls", why, Widen(quoted).c_str());
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
  // One attach of an interface. Handles belong to one attach: after a detach (or an attach that
  // replaces the interface) they stay dead, as a Windows handle to a removed device does.
  struct Interface {
    std::string id;
    std::uint64_t instance = 0;
    HidAttributes attributes;
    bool noOpen = false;
    bool noAttr = false;
    bool stalled = false;  // takes no output reports any more
  };
  struct OpenHandle {
    std::string id;
    std::uint64_t instance = 0;
    bool canRead = false;
    bool canWrite = false;
    std::deque<ReportBytes> unread;
  };
  enum class Received { kLine, kTimeout, kClosed };
  enum class Applied { kDone, kReady };

  bool Connect(const std::string& address);
  void AwaitReady();
  void ReaderLoop();
  Received ReceiveLine(std::string& line, std::optional<Clock::time_point> deadline);
  Applied Apply(std::string line);
  void ApplyAttach(const std::vector<std::string>& fields, const std::string& line);
  void ApplyInput(const std::vector<std::string>& fields, const std::string& line);
  void ApplyNotify(const std::string& event, const std::string& line);
  bool Send(const std::string& line);
  void Disconnect();
  // The interface a handle was opened on, while that attach lasts; nullptr once it is gone.
  // With m_lock held.
  const Interface* LiveInterface(const OpenHandle& handle) const;

  SOCKET m_socket = INVALID_SOCKET;
  bool m_winsockStarted = false;
  std::atomic<bool> m_connected{false};
  std::thread m_reader;
  // Bytes received after the last complete line; used by one thread at a time (the start-up,
  // then the reader).
  std::string m_pending;
  bool m_discardingLongLine = false;

  std::mutex m_sendLock;  // keeps lines whole on the socket; never taken with m_lock held

  mutable std::mutex m_lock;
  std::condition_variable m_changed;    // a report queued, an interface detached, a handle closed
  std::vector<Interface> m_interfaces;  // in attach order
  std::map<PortHandle, OpenHandle> m_handles;
  PortHandle m_nextHandle = 1;
  std::uint64_t m_nextInstance = 1;
  HWND m_notifyWindow = nullptr;
};

LinkHidPort::LinkHidPort() {
  const char* address = std::getenv(kAddressVariable);
  if (address == nullptr || *address == '\0') return;  // no link: no HID interfaces
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    DebugLine(L"device link: Winsock cannot start");
    return;
  }
  m_winsockStarted = true;
  if (!Connect(address)) {
    DebugLine(L"device link: cannot connect to %ls; no HID interface is present",
              Widen(address).c_str());
    return;
  }
  m_connected = true;
  if (!Send("hello 1")) return;
  AwaitReady();
  if (m_connected) m_reader = std::thread([this] { ReaderLoop(); });
}

LinkHidPort::~LinkHidPort() {
  if (m_socket != INVALID_SOCKET) {
    // Ends the reader's blocking receive.
    ::shutdown(m_socket, SD_BOTH);
    if (m_reader.joinable()) m_reader.join();
    ::closesocket(m_socket);
  }
  if (m_winsockStarted) ::WSACleanup();
}

bool LinkHidPort::Connect(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return false;
  const std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    // Connect without blocking, so that the wait for an answer is bounded.
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    bool connected = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
    if (!connected && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval wait{};
      wait.tv_sec = static_cast<long>(kConnectWait.count() / 1000);
      wait.tv_usec = static_cast<long>(kConnectWait.count() % 1000 * 1000);
      if (::select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable)) {
        int error = 0;
        int length = sizeof(error);
        connected =
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
            error == 0;
      }
    }
    if (!connected) {
      ::closesocket(s);
      continue;
    }
    u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    // Every report is one short line; don't let Nagle hold it back.
    BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof(noDelay));
    DWORD sendTimeout = kSendTimeoutMs;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
                 sizeof(sendTimeout));
    m_socket = s;
    return true;
  }
  return false;
}

// Applies the lines that describe the state at start, so that the first search sees them.
void LinkHidPort::AwaitReady() {
  const Clock::time_point deadline = Clock::now() + kReadyWait;
  std::string line;
  for (;;) {
    switch (ReceiveLine(line, deadline)) {
      case Received::kLine:
        if (Apply(line) == Applied::kReady) return;
        break;
      case Received::kTimeout:
        DebugLine(L"device link: no \"ready\" within %d ms; going on",
                  static_cast<int>(kReadyWait.count()));
        return;
      case Received::kClosed:
        Disconnect();
        return;
    }
  }
}

void LinkHidPort::ReaderLoop() {
  std::string line;
  // Nothing the server says counts once the link is broken (a failed send ends it too).
  while (m_connected && ReceiveLine(line, std::nullopt) == Received::kLine) Apply(line);
  Disconnect();
}

LinkHidPort::Received LinkHidPort::ReceiveLine(std::string& line,
                                               std::optional<Clock::time_point> deadline) {
  for (;;) {
    const std::size_t newline = m_pending.find('\n');
    if (newline != std::string::npos) {
      const bool discard = m_discardingLongLine;
      m_discardingLongLine = false;
      line = m_pending.substr(0, newline);
      m_pending.erase(0, newline + 1);
      if (!discard) return Received::kLine;
      continue;
    }
    if (m_pending.size() > kMaxLineLength) {
      if (!m_discardingLongLine) IgnoredLine(m_pending, L"too long");
      m_discardingLongLine = true;
      m_pending.clear();
    }
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return Received::kTimeout;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(m_socket, &readable);
      timeval wait{};
      wait.tv_sec = static_cast<long>(left.count() / 1000000);
      wait.tv_usec = static_cast<long>(left.count() % 1000000);
      const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
      if (ready == 0) return Received::kTimeout;
      if (ready < 0) return Received::kClosed;
    }
    char buffer[4096];
    const int received = ::recv(m_socket, buffer, sizeof(buffer), 0);
    if (received <= 0) return Received::kClosed;
    m_pending.append(buffer, static_cast<std::size_t>(received));
  }
}

LinkHidPort::Applied LinkHidPort::Apply(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!IsPrintableAscii(line)) {
    IgnoredLine(line, L"not printable ASCII");
    return Applied::kDone;
  }
  const std::optional<std::vector<std::string>> parsed = SplitFields(line);
  if (!parsed) {
    IgnoredLine(line, L"malformed");
    return Applied::kDone;
  }
  const std::vector<std::string>& fields = *parsed;
  const std::string& command = fields[0];
  if (command == "attach") {
    ApplyAttach(fields, line);
  } else if (command == "detach" && fields.size() == 2 && IsValidId(fields[1])) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::erase_if(m_interfaces, [&](const Interface& i) { return i.id == fields[1]; });
    m_changed.notify_all();  // pending reads on its handles fail at once
  } else if (command == "input") {
    ApplyInput(fields, line);
  } else if (command == "stall" && fields.size() == 2 && IsValidId(fields[1])) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (Interface& i : m_interfaces) {
      if (i.id == fields[1]) i.stalled = true;
    }
  } else if (command == "notify" && fields.size() == 2) {
    ApplyNotify(fields[1], line);
  } else if (command == "ready" && fields.size() == 1) {
    return Applied::kReady;
  } else if (command == "sync" && fields.size() == 2) {
    Send("sync " + fields[1]);
  } else {
    IgnoredLine(line, L"unknown or malformed");
  }
  return Applied::kDone;
}

void LinkHidPort::ApplyAttach(const std::vector<std::string>& fields, const std::string& line) {
  Interface attached;
  if ((fields.size() != 4 && fields.size() != 5) || !IsValidId(fields[1]) ||
      !ParseHex16(fields[2], attached.attributes.vendorId) ||
      !ParseHex16(fields[3], attached.attributes.productId)) {
    IgnoredLine(line, L"malformed attach");
    return;
  }
  if (fields.size() == 5) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = fields[4].find(',', start);
      const std::string flag =
          fields[4].substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (flag == "noopen") {
        attached.noOpen = true;
      } else if (flag == "noattr") {
        attached.noAttr = true;
      } else {
        IgnoredLine(line, L"unknown attach flag");
        return;
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  attached.id = fields[1];
  std::lock_guard<std::mutex> lock(m_lock);
  // Attaching a present id replaces it: a new device, handles to the old one are dead.
  std::erase_if(m_interfaces, [&](const Interface& i) { return i.id == attached.id; });
  attached.instance = m_nextInstance++;
  m_interfaces.push_back(attached);
  m_changed.notify_all();
}

void LinkHidPort::ApplyInput(const std::vector<std::string>& fields, const std::string& line) {
  ReportBytes report{};  // byte 0: report id 0
  if (fields.size() != 3 || !IsValidId(fields[1]) ||
      !ParseHex(fields[2], report.data() + 1, kPayloadSize)) {
    IgnoredLine(line, L"malformed input");
    return;
  }
  std::lock_guard<std::mutex> lock(m_lock);
  // Every open read handle of the interface gets its own copy; with none, the report is lost.
  for (auto& [number, handle] : m_handles) {
    if (handle.id != fields[1] || !handle.canRead || !LiveInterface(handle)) continue;
    handle.unread.push_back(report);
    if (handle.unread.size() > kUnreadReportLimit) handle.unread.pop_front();
  }
  m_changed.notify_all();
}

void LinkHidPort::ApplyNotify(const std::string& event, const std::string& line) {
  WPARAM type = 0;
  if (event == "arrival") {
    type = DBT_DEVICEARRIVAL;
  } else if (event == "removal") {
    type = DBT_DEVICEREMOVECOMPLETE;
  } else if (event == "devnodes") {
    type = DBT_DEVNODES_CHANGED;
  } else {
    IgnoredLine(line, L"unknown notify event");
    return;
  }
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

bool LinkHidPort::Send(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_sendLock);
  if (!m_connected) return false;
  const std::string data = line + "\n";
  std::size_t sent = 0;
  while (sent < data.size()) {
    const int n = ::send(m_socket, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) {
      Disconnect();
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// The connection is gone: every interface counts as detached from now on. The socket is shut so
// that the reader's receive ends as well; a socket whose send failed is not to be used again.
void LinkHidPort::Disconnect() {
  if (m_connected.exchange(false)) {
    DebugLine(L"device link: connection closed");
    ::shutdown(m_socket, SD_BOTH);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_interfaces.clear();
  m_changed.notify_all();
}

const LinkHidPort::Interface* LinkHidPort::LiveInterface(const OpenHandle& handle) const {
  for (const Interface& i : m_interfaces) {
    if (i.id == handle.id) return i.instance == handle.instance ? &i : nullptr;
  }
  return nullptr;
}

std::vector<std::wstring> LinkHidPort::EnumerateInterfaces() {
  std::lock_guard<std::mutex> lock(m_lock);
  std::vector<std::wstring> paths;
  for (const Interface& i : m_interfaces) paths.push_back(kPathPrefix + Widen(i.id));
  return paths;
}

PortHandle LinkHidPort::Open(const std::wstring& path, PortAccess access) {
  const std::wstring prefix = kPathPrefix;
  if (path.compare(0, prefix.size(), prefix) != 0) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return kNoHandle;
  }
  const std::wstring wideId = path.substr(prefix.size());
  const std::string id(wideId.begin(), wideId.end());  // ids are ASCII; others match nothing

  OpenHandle opened;
  opened.id = id;
  opened.canRead = access != PortAccess::Write;
  opened.canWrite = access != PortAccess::Read;
  PortHandle number = kNoHandle;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    const Interface* found = nullptr;
    for (const Interface& i : m_interfaces) {
      if (i.id == id) found = &i;
    }
    if (found == nullptr) {
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return kNoHandle;
    }
    if (found->noOpen) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return kNoHandle;
    }
    opened.instance = found->instance;
    number = m_nextHandle++;
    // Registered before the server hears of it, so that no report sent in answer is missed.
    m_handles.emplace(number, std::move(opened));
  }
  const char* mode = access == PortAccess::ProbeReadWrite ? "rw"
                     : access == PortAccess::Write        ? "w"
                                                          : "r";
  Send("open " + id + " " + std::to_string(number) + " " + mode);
  return number;
}

bool LinkHidPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  std::lock_guard<std::mutex> lock(m_lock);
  const auto h = m_handles.find(handle);
  const Interface* live = h == m_handles.end() ? nullptr : LiveInterface(h->second);
  if (live == nullptr) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (live->noAttr) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  attributes = live->attributes;
  return true;
}

bool LinkHidPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  std::string id;
  {
    std::unique_lock<std::mutex> lock(m_lock);
    auto h = m_handles.find(handle);
    if (h == m_handles.end() || !h->second.canWrite || !LiveInterface(h->second)) {
      ::SetLastError(h == m_handles.end()  ? ERROR_INVALID_HANDLE
                     : !h->second.canWrite ? ERROR_ACCESS_DENIED
                                           : ERROR_DEVICE_NOT_CONNECTED);
      return false;
    }
    if (LiveInterface(h->second)->stalled) {
      // The controller no longer takes reports: the write waits its bound (or the device's
      // removal) and fails, and nothing goes out.
      m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        h = m_handles.find(handle);
        return h == m_handles.end() || !LiveInterface(h->second);
      });
      ::SetLastError(ERROR_SEM_TIMEOUT);
      return false;
    }
    id = h->second.id;
  }
  // The send itself is bounded by the socket's send time-out.
  if (!Send("output " + id + " " + ToHex(report, kReportSize))) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  return true;
}

std::uint32_t LinkHidPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  auto h = m_handles.find(handle);
  if (h == m_handles.end() || !h->second.canRead) {
    ::SetLastError(h == m_handles.end() ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
    return kWaitReadFailed;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  m_changed.wait_until(lock, deadline, [&] {
    h = m_handles.find(handle);
    return h == m_handles.end() || !LiveInterface(h->second) || !h->second.unread.empty();
  });
  if (h == m_handles.end() || !LiveInterface(h->second)) {
    // A removed device fails its reads at once, queued reports or not.
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return kWaitReadFailed;
  }
  if (h->second.unread.empty()) return kWaitTimeout;
  std::memcpy(report, h->second.unread.front().data(), kReportSize);
  h->second.unread.pop_front();
  return kWaitReceived;
}

void LinkHidPort::Close(PortHandle handle) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_handles.erase(handle) == 0) return;
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
