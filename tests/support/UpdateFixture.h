// Whole updates against the emulated controllers, through the main dialog.
#pragma once

#include <cstring>
#include <memory>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/support/DialogFixture.h"

namespace kestro::testing {

// A device that answers through a test's own function: for controller behaviour the
// emulators do not offer.
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

inline sim::PackageRecord MakeRecord(std::uint16_t model, std::uint8_t variant, std::size_t length,
                                     std::uint32_t seed, std::uint16_t version = 123,
                                     std::uint16_t beta = 0) {
  sim::PackageRecord r;
  r.modelId = model;
  r.variant = variant;
  r.version = version;
  r.beta = beta;
  r.baseAddress = 0x08004000;
  r.image = sim::PatternImage(length, seed);
  return r;
}

class UpdateFixture : public DialogFixture {
 protected:
  std::shared_ptr<sim::NormalController> AttachNormal(sim::NormalConfig config = {}) {
    auto controller = std::make_shared<sim::NormalController>(config);
    env.port.AttachDevice(L"pad", controller);
    return controller;
  }
  std::shared_ptr<sim::BootController> AttachBoot(sim::BootConfig config = {}) {
    auto controller = std::make_shared<sim::BootController>(config);
    env.port.AttachDevice(L"boot", controller);
    return controller;
  }
  // Presses the button and waits for the worker to end.
  void RunUpdate() {
    Press();
    ASSERT_TRUE(WaitForWorker());
  }
  bool SawBox(const std::wstring& text) const {
    for (const auto& t : BoxTexts()) {
      if (t == text) return true;
    }
    return false;
  }
};

inline const std::wstring kSuccessBox = L"\n Firmware upgraded! \n";
inline const std::wstring kFailureBox = L"Firmware update failure\n";

}  // namespace kestro::testing
