// The program's side of the device link, for tests of the server: a TCP client that sends lines
// and reads the server's, one at a time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kestro::link {

constexpr int kWaitMs = 3000;

class Client {
 public:
  explicit Client(std::uint16_t port) {
    m_socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { Close(); }
  bool Connected() const { return m_connected; }
  void Send(const std::string& text) { send(m_socket, text.data(), text.size(), MSG_NOSIGNAL); }
  void Close() {
    if (m_socket >= 0) close(m_socket);
    m_socket = -1;
  }
  // The next line, or "" after the time-out.
  std::string Line(int timeoutMs = kWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      if (auto end = m_buffer.find('\n'); end != std::string::npos) {
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return line;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return "";
      pollfd waiting{m_socket, POLLIN, 0};
      if (poll(&waiting, 1, left) <= 0) return "";
      char chunk[512];
      ssize_t got = recv(m_socket, chunk, sizeof chunk, 0);
      if (got <= 0) return "";
      m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  int m_socket = -1;
  bool m_connected = false;
  std::string m_buffer;
};

}  // namespace kestro::link
