#include "platform/link/LineConnection.h"

#include <memory>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

namespace kestro::link {
namespace {

static_assert(sizeof(SOCKET) == sizeof(std::uintptr_t));

// Loopback refuses at once when nobody listens; this only bounds an address that does not answer.
constexpr std::chrono::milliseconds kConnectWait{5000};
// A server that stops reading makes a send fail instead of blocking its sender.
constexpr DWORD kSendTimeoutMs = 5000;

timeval TimevalOf(std::chrono::microseconds wait) {
  timeval value{};
  value.tv_sec = static_cast<long>(wait.count() / 1000000);
  value.tv_usec = static_cast<long>(wait.count() % 1000000);
  return value;
}

// Connects without blocking, so that the wait for an answer is bounded. 0 or the error.
int ConnectBounded(SOCKET s, const addrinfo& address) {
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
  const int error = ::WSAGetLastError();
  if (error != WSAEWOULDBLOCK) return error;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval wait = TimevalOf(kConnectWait);
  if (::select(0, nullptr, &writable, &failed, &wait) <= 0 || !FD_ISSET(s, &writable)) {
    return WSAETIMEDOUT;
  }
  int soError = 0;
  int length = sizeof(soError);
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0) {
    return ::WSAGetLastError();
  }
  return soError;
}

}  // namespace

LineConnection::~LineConnection() {
  if (m_socket != kNoSocket) ::closesocket(static_cast<SOCKET>(m_socket));
  if (m_winsockStarted) ::WSACleanup();
}

bool LineConnection::Connect(const std::string& address, std::string& error,
                             unsigned long& systemError) {
  systemError = 0;
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    error = "\"" + address + "\" is not HOST:PORT";
    return false;
  }
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error = "Winsock does not start";
    return false;
  }
  m_winsockStarted = true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.substr(0, colon).c_str(), address.substr(colon + 1).c_str(), &hints,
                    &found) != 0) {
    error = "cannot resolve " + address;
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    systemError = static_cast<unsigned long>(ConnectBounded(s, *a));
    if (systemError != 0) {
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
    m_socket = static_cast<std::uintptr_t>(s);
    return true;
  }
  error = "cannot connect to " + address;
  return false;
}

LineConnection::Received LineConnection::ReadLine(std::string& line,
                                                  std::optional<Clock::time_point> deadline) {
  const SOCKET s = static_cast<SOCKET>(m_socket);
  for (;;) {
    switch (m_lines.Take(line)) {
      case LineReader::Next::kLine:
        return Received::kLine;
      case LineReader::Next::kTooLong:
        return Received::kTooLong;
      case LineReader::Next::kMore:
        break;
    }
    if (m_socket == kNoSocket) return Received::kClosed;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return Received::kTimeout;
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(s, &readable);
      timeval wait = TimevalOf(left);
      const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
      if (ready == 0) return Received::kTimeout;
      if (ready < 0) return Received::kClosed;
    }
    char buffer[4096];
    const int received = ::recv(s, buffer, sizeof(buffer), 0);
    if (received <= 0) return Received::kClosed;
    m_lines.Append(buffer, static_cast<std::size_t>(received));
  }
}

bool LineConnection::Send(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_sendLock);
  if (m_broken || m_socket == kNoSocket) return false;
  const SOCKET s = static_cast<SOCKET>(m_socket);
  const std::string data = line + "\n";
  std::size_t sent = 0;
  while (sent < data.size()) {
    const int n = ::send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) {
      m_broken = true;
      ::shutdown(s, SD_BOTH);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void LineConnection::Shut() {
  std::lock_guard<std::mutex> lock(m_sendLock);
  m_broken = true;
  if (m_socket != kNoSocket) ::shutdown(static_cast<SOCKET>(m_socket), SD_BOTH);
}

}  // namespace kestro::link
