// A controller on an emulated hidraw node whose side is played by a device-link server
// (kestro-link-server, for instance replaying a recording): this test side connects as the
// program's side of the link, takes the server's first interface as the node's identity, passes
// each report the program writes to the node on as an "output" line, and turns the server's
// "input" and "detach" lines into the node's input reports and its removal. So the Linux program
// meets over umockdev what the Windows programs meet over the link.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/link/LineReader.h"
#include "sim/Device.h"
#include "tests/hidraw/HidrawTestbed.h"

namespace kestro::hidraw::testing {

class LinkedController : public sim::Device, public std::enable_shared_from_this<LinkedController> {
 public:
  ~LinkedController() override;

  // Connects to the server on 127.0.0.1:port and reads its start up to "ready"; null when the
  // server cannot be reached or attached nothing.
  static std::shared_ptr<LinkedController> Connect(std::uint16_t port);
  // Plugs the node in and follows the server's lines until it closes the link.
  std::shared_ptr<EmulatedNode> PlugInto(HidrawTestbed& bed);

  std::uint16_t VendorId() const override { return m_vendorId; }
  std::uint16_t ProductId() const override { return m_productId; }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override;

 private:
  void Send(const std::string& line);
  void Follow();

  int m_socket = -1;
  std::string m_id;
  std::uint16_t m_vendorId = 0;
  std::uint16_t m_productId = 0;
  link::LineReader m_reader;
  HidrawTestbed* m_bed = nullptr;
  EmulatedNode* m_node = nullptr;  // the bed owns it, and it owns this
  std::thread m_follower;
  std::atomic<bool> m_closing{false};
};

}  // namespace kestro::hidraw::testing
