// Controllers a test plugs into the fake port: the emulated ones, and one that answers through a
// test's own function, for behaviour the emulators do not offer.
#pragma once

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/support/FakeHidPort.h"

namespace kestro::testing {

inline std::shared_ptr<sim::NormalController> AttachNormal(FakeHidPort& port,
                                                           sim::NormalConfig config = {},
                                                           const std::wstring& path = L"pad") {
  auto controller = std::make_shared<sim::NormalController>(config);
  port.AttachDevice(path, controller);
  return controller;
}

inline std::shared_ptr<sim::BootController> AttachBoot(FakeHidPort& port,
                                                       sim::BootConfig config = {},
                                                       const std::wstring& path = L"boot") {
  auto controller = std::make_shared<sim::BootController>(config);
  port.AttachDevice(path, controller);
  return controller;
}

class ScriptedDevice : public sim::Device {
 public:
  using Script = std::function<void(const sim::OutputReport&, sim::DeviceHost&)>;
  ScriptedDevice(std::uint16_t vid, std::uint16_t pid, Script script)
      : m_vid(vid), m_pid(pid), m_script(std::move(script)) {}
  std::uint16_t VendorId() const override { return m_vid; }
  std::uint16_t ProductId() const override { return m_pid; }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    m_script(report, host);
  }

 private:
  std::uint16_t m_vid;
  std::uint16_t m_pid;
  Script m_script;
};

// Payload bytes of a framed reply: count, then the packet.
inline void FramedReply(std::initializer_list<std::uint8_t> packet, sim::Payload& payload) {
  std::memset(payload, 0, sizeof payload);
  payload[0] = static_cast<std::uint8_t>(packet.size());
  std::size_t i = 1;
  for (auto b : packet) payload[i++] = b;
}

}  // namespace kestro::testing
