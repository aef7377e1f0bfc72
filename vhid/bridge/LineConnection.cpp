#include "vhid/bridge/LineConnection.h"

#include <ws2tcpip.h>

#include <memory>

#include "vhid/bridge/Win32Error.h"

namespace kestro::vhid {
namespace {

// Loopback refuses at once when nobody listens; this bounds an address that does not answer.
constexpr long kConnectWaitSeconds = 5;
// A server that stops reading makes a send fail instead of blocking the bridge.
constexpr DWORD kSendTimeoutMs = 5000;
// Far above the longest line of the contract (an input line is under 210 characters).
constexpr std::size_t kMaxLineLength = 4096;

}  // namespace

LineConnection::~LineConnection() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (winsockStarted_) WSACleanup();
}

bool LineConnection::Connect(const std::string& address, std::string& error) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    error = "\"" + address + "\" is not HOST:PORT";
    return false;
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error = "Winsock does not start";
    return false;
  }
  winsockStarted_ = true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.substr(0, colon).c_str(), address.substr(colon + 1).c_str(), &hints,
                  &found) != 0) {
    error = "cannot resolve " + address;
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
  int lastError = 0;
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    bool connected = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
    lastError = connected ? 0 : WSAGetLastError();
    if (!connected && lastError == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval wait{kConnectWaitSeconds, 0};
      if (select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(s, &writable)) {
        int soError = 0;
        int length = sizeof(soError);
        connected =
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) == 0 &&
            soError == 0;
        lastError = connected ? 0 : soError;
      } else {
        lastError = WSAETIMEDOUT;
      }
    }
    if (!connected) {
      closesocket(s);
      continue;
    }
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
    BOOL noDelay = TRUE;  // every report is one short line
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof(noDelay));
    DWORD sendTimeout = kSendTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout),
               sizeof(sendTimeout));
    socket_ = s;
    return true;
  }
  error = "cannot connect to " + address + ": " + Win32ErrorText(static_cast<DWORD>(lastError));
  return false;
}

LineConnection::Received LineConnection::ReadLine(std::string& line) {
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return Received::kLine;
    }
    if (pending_.size() > kMaxLineLength) {
      line = pending_;
      return Received::kTooLong;
    }
    char buffer[4096];
    const int received = recv(socket_, buffer, sizeof(buffer), 0);
    if (received <= 0) return Received::kClosed;
    pending_.append(buffer, static_cast<std::size_t>(received));
  }
}

bool LineConnection::Send(const std::string& line) {
  std::lock_guard<std::mutex> lock(sendLock_);
  if (broken_ || socket_ == INVALID_SOCKET) return false;
  const std::string data = line + "\n";
  std::size_t sent = 0;
  while (sent < data.size()) {
    const int n = send(socket_, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) {
      broken_ = true;
      // The reader must see the end too, or the bridge would wait for lines that never come.
      shutdown(socket_, SD_BOTH);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void LineConnection::Shut() {
  std::lock_guard<std::mutex> lock(sendLock_);
  broken_ = true;
  if (socket_ != INVALID_SOCKET) shutdown(socket_, SD_BOTH);
}

}  // namespace kestro::vhid
