#include "sim/Wire.h"

namespace kestro::sim {

void Reaction::Deliver(DeviceHost& host, std::uint32_t answerDelayMs,
                       const std::function<void(const std::string&)>& log) const {
  for (const Input& input : inputs) host.SendInput(input.bytes, answerDelayMs + input.extraDelayMs);
  if (stopTakingOutput) host.StopTakingOutput();
  if (detach) host.Detach();
  if (log) {
    for (const std::string& line : lines) log(line);
  }
}

}  // namespace kestro::sim
