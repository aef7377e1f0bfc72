// What the emulated controllers and the package builder share inside this library: little-endian
// fields, event-log lines, and the reaction to one output report. Not for the hosts; they see
// sim/Device.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace kestro::sim {

inline std::uint16_t ReadLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
         (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

inline void WriteLe16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void AppendLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  bytes.resize(bytes.size() + 2);
  WriteLe16(bytes.data() + bytes.size() - 2, value);
}

inline void AppendLe32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  bytes.resize(bytes.size() + 4);
  WriteLe32(bytes.data() + bytes.size() - 4, value);
}

// One event-log line; longer ones are cut, which a log line can afford.
std::string Format(const char* format, auto... values) {
  char line[160];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

// What a controller does about one output report. Worked out under the controller's lock and
// delivered after it is released: a host may call back into the accessors, or take locks of its
// own.
struct Reaction {
  struct Input {
    Payload bytes;
    std::uint32_t extraDelayMs = 0;  // on top of the controller's usual answer delay
  };
  std::vector<Input> inputs;
  bool detach = false;
  bool stopTakingOutput = false;
  std::vector<std::string> lines;

  // Sends the inputs, each readable after answerDelayMs (and its own extra delay), stops taking
  // output when asked, then detaches, then logs the lines
  // (when there is a log).
  void Deliver(DeviceHost& host, std::uint32_t answerDelayMs,
               const std::function<void(const std::string&)>& log) const;
};

}  // namespace kestro::sim
