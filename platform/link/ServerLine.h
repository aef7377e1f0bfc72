// One line from the device-link server, read as the contract defines it. Both programs that
// play the program's side (the link port of KestroUpdate-link.exe and the virtual-HID bridge)
// parse with this, so that they take and refuse exactly the same lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestro::link {

// "input <id> <128 hex>": the payload of one input report; report id 0 is implied.
inline constexpr std::size_t kInputPayloadBytes = 64;

struct ServerLine {
  enum class Verb { kAttach, kDetach, kInput, kStall, kNotify, kReady, kSync };
  enum class Event { kArrival, kRemoval, kDevnodes };

  Verb verb = Verb::kReady;
  std::string id;  // attach, detach, input, stall
  // attach
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  bool noOpen = false;
  bool noAttr = false;
  // input
  std::uint8_t payload[kInputPayloadBytes] = {};
  // notify
  Event event = Event::kArrival;
  // sync
  std::string token;
};

// nullopt for a line that is unknown or malformed, with why (for the diagnostic the contract asks
// for). A carriage return before the newline is tolerated.
std::optional<ServerLine> ParseServerLine(const std::string& line, std::string& why);

// The start of a line, for a message about it: a line can be as long as the line reader allows.
std::string Shortened(const std::string& line);

}  // namespace kestro::link
