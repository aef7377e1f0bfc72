// A TCP connection to the device-link server, one line at a time (Winsock).
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <mutex>
#include <string>

namespace kestro::vhid {

class LineConnection {
 public:
  LineConnection() = default;
  ~LineConnection();
  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;

  // address is HOST:PORT. False with the reason; the wait for an answer is bounded.
  bool Connect(const std::string& address, std::string& error);

  enum class Received { kLine, kClosed, kTooLong };
  // Blocks until a whole line (without its newline) or the end of the connection.
  Received ReadLine(std::string& line);

  // Whole lines from any thread; false once the connection is broken.
  bool Send(const std::string& line);
  // Ends the connection both ways: a blocked ReadLine returns kClosed.
  void Shut();

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool winsockStarted_ = false;
  std::string pending_;
  std::mutex sendLock_;
  bool broken_ = false;
};

}  // namespace kestro::vhid
