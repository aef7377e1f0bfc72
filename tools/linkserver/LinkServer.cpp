#include "tools/linkserver/LinkServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "platform/link/LineReader.h"
#include "platform/link/LinkLine.h"

namespace kestro::link {
namespace {

using Clock = std::chrono::steady_clock;

// How often the blocking loops look at the stop request.
constexpr int kPollMs = 100;
// A program that stops reading makes a send fail after this long instead of blocking the thread
// that sends (a test, or the timer that delivers inputs) and with it Stop().
constexpr timeval kSendTimeout{5, 0};
// The log keeps the first lines of a run; an update takes a few thousand.
constexpr std::size_t kMaxLogLines = 200000;

// send() may take a line in pieces; false when the connection is gone.
bool WriteAll(int socket, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t sent = send(socket, data, left, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool ParseUnsigned(const std::string& text, std::uint64_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

// The DeviceHost one attached interface gives its device. It outlives a detach (the device may
// still hold it), so the server forwards for it only while it is the host attached under its id.
class LinkServer::Host : public sim::DeviceHost {
 public:
  Host(LinkServer& server, std::string id) : m_server(server), m_id(std::move(id)) {}

  void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override {
    m_server.QueueInput(m_id, this, payload, delayMs);
  }
  void Detach() override { m_server.DetachIf(m_id, this); }
  void StopTakingOutput() override { m_server.StallIf(m_id, this); }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
  }
  const std::string& Id() const { return m_id; }

 private:
  LinkServer& m_server;
  const std::string m_id;
};

LinkServer::LinkServer() = default;

LinkServer::~LinkServer() { Stop(); }

bool LinkServer::Start(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return false;
  }
  m_listenSocket = fd;
  m_port = ntohs(address.sin_port);
  m_acceptThread = std::thread(&LinkServer::AcceptLoop, this);
  m_timerThread = std::thread(&LinkServer::TimerLoop, this);
  return true;
}

void LinkServer::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  if (m_acceptThread.joinable()) m_acceptThread.join();
  if (m_timerThread.joinable()) m_timerThread.join();
  if (m_listenSocket >= 0) {
    close(m_listenSocket);
    m_listenSocket = -1;
  }
}

void LinkServer::AcceptLoop() {
  int client = -1;
  while (client < 0) {
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
    }
    pollfd waiting{m_listenSocket, POLLIN, 0};
    if (poll(&waiting, 1, kPollMs) <= 0) continue;
    client = accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
  }
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
  // One program per server: later connections are refused.
  close(m_listenSocket);
  m_listenSocket = -1;
  {
    std::lock_guard sending(m_sendMutex);
    std::lock_guard lock(m_mutex);
    m_clientSocket = client;
  }
  ReadLoop(client);
  {
    std::lock_guard sending(m_sendMutex);
    std::lock_guard lock(m_mutex);
    m_clientSocket = -1;
    m_clientGone = true;
  }
  close(client);
  m_changed.notify_all();
}

void LinkServer::ReadLoop(int socket) {
  LineReader lines;
  char buffer[4096];
  while (true) {
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
    }
    pollfd waiting{socket, POLLIN, 0};
    int ready = poll(&waiting, 1, kPollMs);
    if (ready < 0) return;
    if (ready == 0) continue;
    ssize_t got = recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    lines.Append(buffer, static_cast<std::size_t>(got));
    std::string line;
    for (LineReader::Next next; (next = lines.Take(line)) != LineReader::Next::kMore;) {
      // A line too long for the reader is ignored like any malformed one.
      if (next == LineReader::Next::kLine) HandleLine(line);
    }
  }
}

void LinkServer::HandleLine(const std::string& line) {
  {
    std::lock_guard lock(m_mutex);
    if (m_lineLog.size() < kMaxLogLines) m_lineLog.push_back("< " + line);
  }
  // Malformed lines are ignored, as the contract asks of both sides; a line is printable ASCII
  // ending in a newline, so a carriage return before that makes it malformed too.
  if (!IsPrintableAscii(line)) return;
  const std::optional<std::vector<std::string>> parsed = SplitFields(line);
  if (!parsed) return;
  const std::vector<std::string>& fields = *parsed;
  const std::string& verb = fields[0];
  if (verb == "hello" && fields.size() == 2 && fields[1] == "1") {
    // The start state goes out in one piece: an Attach that races with the hello waits for the
    // send lock and then finds m_helloSeen set, so its line follows "ready".
    std::lock_guard sending(m_sendMutex);
    std::vector<std::string> lines;
    int socket;
    {
      std::lock_guard lock(m_mutex);
      if (m_helloSeen) return;
      for (const std::string& id : m_attachOrder) {
        const std::vector<std::string> attach = AttachLines(id, m_interfaces[id]);
        lines.insert(lines.end(), attach.begin(), attach.end());
      }
      lines.push_back("ready");
      socket = m_clientSocket;
      for (const std::string& sent : lines) {
        if (m_lineLog.size() < kMaxLogLines) m_lineLog.push_back("> " + sent);
      }
      m_helloSeen = true;
    }
    std::string text;
    for (const std::string& sent : lines) text += sent + "\n";
    WriteAll(socket, text);
    m_changed.notify_all();
  } else if (verb == "open" && fields.size() == 4) {
    std::uint64_t handle = 0;
    const std::string& access = fields[3];
    if (!IsValidId(fields[1]) || !ParseUnsigned(fields[2], handle)) return;
    if (access != "r" && access != "w" && access != "rw") return;
    std::lock_guard lock(m_mutex);
    m_opens.push_back({fields[1], handle, access});
  } else if (verb == "close" && fields.size() == 2) {
    std::uint64_t handle = 0;
    if (!ParseUnsigned(fields[1], handle)) return;
    std::lock_guard lock(m_mutex);
    m_closes.push_back(handle);
  } else if (verb == "output" && fields.size() == 3) {
    HandleOutput(fields[1], fields[2]);
  } else if (verb == "sync" && fields.size() == 2) {
    {
      std::lock_guard lock(m_mutex);
      m_syncAnswers.push_back(fields[1]);
    }
    m_changed.notify_all();
  }
  // Anything else is ignored, as the contract asks of both sides.
}

void LinkServer::HandleOutput(const std::string& id, const std::string& hex) {
  sim::OutputReport report;
  if (!IsValidId(id) || !ParseHex(hex, report, sim::kReportSize)) return;
  std::shared_ptr<sim::Device> device;
  std::shared_ptr<Host> host;
  {
    std::lock_guard lock(m_mutex);
    auto found = m_interfaces.find(id);
    if (found == m_interfaces.end()) return;
    ++m_outputCounts[id];
    device = found->second.device;
    host = found->second.host;
  }
  // The device may call back into its host (inputs, detach), so no server lock is held here.
  std::lock_guard devices(m_deviceMutex);
  device->OnOutput(report, *host);
}

void LinkServer::QueueInput(const std::string& id, const Host* host, const sim::Payload& payload,
                            std::uint32_t delayMs) {
  {
    std::lock_guard lock(m_mutex);
    // A device that was detached or replaced speaks to nobody.
    auto found = m_interfaces.find(id);
    if (found == m_interfaces.end() || (host != nullptr && found->second.host.get() != host)) {
      return;
    }
    Enqueue({.line = "input " + id + " " + ToHex(payload, sim::kPayloadSize), .id = id}, delayMs);
  }
  m_changed.notify_all();
}

void LinkServer::Enqueue(PendingInput pending, std::uint32_t delayMs) {
  // A short delay after a long one must not overtake it: inputs leave in the order sent.
  pending.due = std::max(Clock::now() + std::chrono::milliseconds(delayMs), m_lastInputDue);
  m_lastInputDue = pending.due;
  m_pendingInputs.push_back(std::move(pending));
}

void LinkServer::Input(const std::string& id, const sim::Payload& payload, std::uint32_t delayMs) {
  QueueInput(id, nullptr, payload, delayMs);
}

void LinkServer::After(std::uint32_t delayMs, std::function<void()> action) {
  {
    std::lock_guard lock(m_mutex);
    Enqueue({.action = std::move(action)}, delayMs);
  }
  m_changed.notify_all();
}

void LinkServer::TimerLoop() {
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    if (m_pendingInputs.empty()) {
      m_changed.wait(lock);
      continue;
    }
    Clock::time_point due = m_pendingInputs.front().due;
    if (Clock::now() < due) {
      m_changed.wait_until(lock, due);
      continue;
    }
    PendingInput next = std::move(m_pendingInputs.front());
    m_pendingInputs.pop_front();
    lock.unlock();
    if (next.action) {
      next.action();
    } else {
      SendLine(next.line);
    }
    lock.lock();
  }
}

void LinkServer::Attach(const std::string& id, std::shared_ptr<sim::Device> device,
                        InterfaceFlags flags) {
  if (!IsValidId(id) || !device) return;
  std::string text;
  int socket;
  std::lock_guard sending(m_sendMutex);
  {
    std::lock_guard lock(m_mutex);
    auto found = m_interfaces.find(id);
    if (found != m_interfaces.end()) {
      // The replaced device's inputs still waiting for their time are not the new device's.
      std::erase_if(m_pendingInputs, [&](const PendingInput& input) { return input.id == id; });
    } else {
      m_attachOrder.push_back(id);
    }
    Interface& interface = m_interfaces[id];
    interface.device = std::move(device);
    interface.host = std::make_shared<Host>(*this, id);
    interface.flags = flags;
    if (!m_helloSeen || m_clientSocket < 0) return;
    for (const std::string& line : AttachLines(id, interface)) {
      if (m_lineLog.size() < kMaxLogLines) m_lineLog.push_back("> " + line);
      text += line + "\n";
    }
    socket = m_clientSocket;
  }
  WriteAll(socket, text);
}

void LinkServer::Detach(const std::string& id) { DetachIf(id, nullptr); }

void LinkServer::DetachIf(const std::string& id, const Host* host) {
  {
    std::lock_guard lock(m_mutex);
    auto found = m_interfaces.find(id);
    if (found == m_interfaces.end()) return;
    if (host != nullptr && found->second.host.get() != host) return;  // replaced meanwhile
    m_interfaces.erase(found);
    m_attachOrder.erase(std::remove(m_attachOrder.begin(), m_attachOrder.end(), id),
                        m_attachOrder.end());
    // Inputs still waiting for their time would reach a handle the program no longer has.
    std::erase_if(m_pendingInputs, [&](const PendingInput& input) { return input.id == id; });
  }
  SendLine("detach " + id);
}

void LinkServer::StallIf(const std::string& id, const Host* host) {
  {
    std::lock_guard lock(m_mutex);
    auto found = m_interfaces.find(id);
    if (found == m_interfaces.end() || found->second.host.get() != host) return;
  }
  SendLine("stall " + id);
}

bool LinkServer::Notify(const std::string& event) {
  if (event != "arrival" && event != "removal" && event != "devnodes") return false;
  return SendLine("notify " + event);
}

bool LinkServer::Sync(std::uint32_t timeoutMs) {
  std::string token;
  {
    std::lock_guard lock(m_mutex);
    token = std::to_string(m_nextSyncToken++);
  }
  if (!SendLine("sync " + token)) return false;
  std::unique_lock lock(m_mutex);
  auto answered = [&] {
    return std::find(m_syncAnswers.begin(), m_syncAnswers.end(), token) != m_syncAnswers.end();
  };
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return answered() || m_clientGone || m_stopping; });
  return answered();
}

bool LinkServer::WaitForClient(std::uint32_t timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return m_helloSeen || m_clientGone || m_stopping;
  }) && m_helloSeen;
}

bool LinkServer::WaitForDisconnect(std::uint32_t timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_clientGone || m_stopping; });
}

bool LinkServer::ClientConnected() const {
  std::lock_guard lock(m_mutex);
  return m_clientSocket >= 0 && m_helloSeen;
}

bool LinkServer::ClientGone() const {
  std::lock_guard lock(m_mutex);
  return m_clientGone;
}

std::vector<OpenRecord> LinkServer::Opens() const {
  std::lock_guard lock(m_mutex);
  return m_opens;
}

std::vector<std::uint64_t> LinkServer::Closes() const {
  std::lock_guard lock(m_mutex);
  return m_closes;
}

std::vector<std::string> LinkServer::LineLog() const {
  std::lock_guard lock(m_mutex);
  return m_lineLog;
}

std::size_t LinkServer::OutputCount(const std::string& id) const {
  std::lock_guard lock(m_mutex);
  auto found = m_outputCounts.find(id);
  return found == m_outputCounts.end() ? 0 : found->second;
}

bool LinkServer::SendLine(const std::string& line) {
  std::lock_guard sending(m_sendMutex);
  int socket;
  {
    std::lock_guard lock(m_mutex);
    // Before the hello the program is not listening for lines yet; the state goes with "ready".
    if (m_clientSocket < 0 || !m_helloSeen) return false;
    socket = m_clientSocket;
    if (m_lineLog.size() < kMaxLogLines) m_lineLog.push_back("> " + line);
  }
  return WriteAll(socket, line + "\n");
}

std::vector<std::string> LinkServer::AttachLines(const std::string& id,
                                                 const Interface& interface) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x %04x", interface.device->VendorId(),
                interface.device->ProductId());
  std::string line = "attach " + id + " " + ids;
  std::string flags;
  if (interface.flags.noOpen) flags += "noopen";
  if (interface.flags.noAttr) flags += std::string(flags.empty() ? "" : ",") + "noattr";
  if (!flags.empty()) line += " " + flags;
  if (!interface.flags.stalled) return {line};
  return {line, "stall " + id};
}

}  // namespace kestro::link
