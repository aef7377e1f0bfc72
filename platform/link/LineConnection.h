// A TCP connection to the device-link server, one line at a time (Winsock). The link port of
// KestroUpdate-link.exe and the virtual-HID bridge both talk to the server through it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/link/LineReader.h"

namespace kestro::link {

class LineConnection {
 public:
  using Clock = std::chrono::steady_clock;

  LineConnection() = default;
  ~LineConnection();
  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;

  // address is HOST:PORT; the wait for an answer is bounded. On failure, error says what failed
  // and systemError is the Winsock error behind it (0 when there is none).
  bool Connect(const std::string& address, std::string& error, unsigned long& systemError);

  enum class Received {
    kLine,
    kTooLong,  // the start of a line longer than any the contract defines; its rest is skipped
    kTimeout,
    kClosed,  // the end of the connection
  };
  // The next line, without its newline, waiting until deadline (without one, for as long as it
  // takes). One reading thread at a time.
  Received ReadLine(std::string& line, std::optional<Clock::time_point> deadline = std::nullopt);

  // One whole line from any thread; false once the connection is broken. A send that fails breaks
  // it both ways, so that the reader sees the end too.
  bool Send(const std::string& line);
  // Ends the connection both ways: a blocked ReadLine returns kClosed.
  void Shut();

 private:
  // A SOCKET, kept out of this header so that its users need no Winsock headers (and their
  // order against <windows.h>).
  static constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};
  std::uintptr_t m_socket = kNoSocket;
  bool m_winsockStarted = false;
  LineReader m_lines;
  std::mutex m_sendLock;
  bool m_broken = false;
};

}  // namespace kestro::link
