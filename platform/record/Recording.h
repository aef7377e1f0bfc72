// A recording of one session with a controller, as JSON Lines: what kestro-update --record writes,
// what kestro-link-server --replay plays back, and what kestro-replay import makes of a USB
// capture. One object per line, written as the session goes, so that a crash leaves every line up
// to it.
//
//   {"recording":1,"program":"kestro-update 2.0.0",
//    "controller":{"path":"/dev/hidraw0","vendorId":"3a7c","productId":"5750","mode":"normal"},
//    "package":{"name":"fw.dat","size":65620}}                  the first line; package null
//   {"t":1234,"out":"<128 hex>"}        a report written: its 64 payload bytes
//   {"t":1300,"in":"<128 hex>"}         a report read
//   {"t":1310,"timeout":true}           a read that got nothing within its time
//   {"t":1310,"readFailed":5}           a read that failed, with the system's error code
//   {"t":1310,"writeFailed":5}          a write that failed
//   {"t":1400,"removed":true}           the controller went away
//   {"t":1500,"image":{"record":1,"modelId":258,"variant":3,"version":"0x0002007b",
//                      "baseAddress":"0x08004000","length":65536}}   the image chosen
//   {"t":9000,"outcome":"succeeded","text":"Firmware upgraded!"}     how the session ended
//
// "t" is microseconds of a monotonic clock from the recording's start. Outcomes are those of the
// update: succeeded, failed, not-made; or "version" for a session that only asked the version.
// Nothing else about the user's machine is recorded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kestro::record {

inline constexpr int kFormat = 1;

struct Controller {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string mode;  // "normal" or "boot"
};

struct PackageFacts {
  std::string name;  // the file's name, without its folder
  std::uint64_t size = 0;
};

struct Header {
  std::string program;
  Controller controller;
  std::optional<PackageFacts> package;
};

struct ImageFacts {
  int record = 0;  // 0-based, in file order
  std::uint16_t modelId = 0;
  std::uint8_t variant = 0;
  std::uint32_t version = 0;  // the version word
  std::uint32_t baseAddress = 0;
  std::uint32_t length = 0;
};

using Payload = std::array<std::uint8_t, 64>;

// One line after the header.
struct Event {
  enum class Kind { kOut, kIn, kTimeout, kReadFailed, kWriteFailed, kRemoved, kImage, kOutcome };
  Kind kind = Kind::kOut;
  std::uint64_t t = 0;
  Payload report{};        // kOut, kIn
  std::uint32_t code = 0;  // kReadFailed, kWriteFailed
  ImageFacts image;        // kImage
  std::string outcome;     // kOutcome
  std::string text;        // kOutcome
};

// The lines, each ending in "\n".
std::string HeaderLine(const Header& header);
std::string EventLine(const Event& event);

// A line read back; nothing when it is not one this format writes.
std::optional<Header> ParseHeader(const std::string& line);
std::optional<Event> ParseEvent(const std::string& line);

}  // namespace kestro::record
