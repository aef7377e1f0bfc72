// The device-link server against a client that plays the program's side of the link.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/LinkClient.h"
#include "tools/linkserver/LinkServer.h"

namespace kestro::link {
namespace {

// Echoes every output report back as input, first with a delay, then at once: the second must
// not overtake the first. Byte 1 of the output chooses a detach, or that the device stops
// taking output reports, instead.
class EchoDevice : public sim::Device {
 public:
  std::uint16_t VendorId() const override { return 0x3A7C; }
  std::uint16_t ProductId() const override { return 0x5750; }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    {
      std::lock_guard lock(m_mutex);
      m_reports.emplace_back(report, report + sim::kReportSize);
    }
    if (report[1] == 0xDD) {
      host.Detach();
      return;
    }
    if (report[1] == 0x5A) {
      host.StopTakingOutput();
      return;
    }
    sim::Payload payload{};
    payload[0] = report[1];
    payload[1] = 1;
    host.SendInput(payload, 80);
    payload[1] = 2;
    host.SendInput(payload, 0);
  }
  std::vector<std::vector<std::uint8_t>> Reports() const {
    std::lock_guard lock(m_mutex);
    return m_reports;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::vector<std::uint8_t>> m_reports;
};

std::string OutputLine(const std::string& id, std::uint8_t first) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02x", first);
  return "output " + id + " 00" + hex + std::string(126, '0') + "\n";
}

std::string InputHex(std::uint8_t first, std::uint8_t second) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "%02x%02x", first, second);
  return hex + std::string(124, '0');
}

class LinkServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_server.Start(0)); }

  // Connects and reads the start state up to "ready".
  std::vector<std::string> Greet(Client& client) {
    EXPECT_TRUE(client.Connected());
    client.Send("hello 1\n");
    std::vector<std::string> lines;
    for (std::string line = client.Line(); !line.empty(); line = client.Line()) {
      lines.push_back(line);
      if (line == "ready") break;
    }
    EXPECT_TRUE(m_server.WaitForClient(kWaitMs));
    return lines;
  }

  LinkServer m_server;
};

TEST_F(LinkServerTest, StartStateListsInterfacesInAttachOrderBeforeReady) {
  m_server.Attach("pad-2", std::make_shared<EchoDevice>(), {.noOpen = true});
  m_server.Attach("pad.1", std::make_shared<EchoDevice>(), {.noOpen = true, .noAttr = true});
  m_server.Attach("plain", std::make_shared<EchoDevice>());
  m_server.Detach("plain");
  m_server.Attach("late_", std::make_shared<EchoDevice>(), {.noAttr = true});
  m_server.Attach("stuck", std::make_shared<EchoDevice>(), {.stalled = true});
  Client client(m_server.Port());
  EXPECT_EQ(Greet(client), (std::vector<std::string>{
                               "attach pad-2 3a7c 5750 noopen",
                               "attach pad.1 3a7c 5750 noopen,noattr",
                               "attach late_ 3a7c 5750 noattr",
                               "attach stuck 3a7c 5750",
                               "stall stuck",
                               "ready",
                           }));
}

TEST_F(LinkServerTest, NothingIsSentBeforeHello) {
  m_server.Attach("pad", std::make_shared<EchoDevice>());
  Client client(m_server.Port());
  EXPECT_FALSE(m_server.Notify("arrival"));
  EXPECT_EQ(client.Line(300), "");
  client.Send("hello 2\n");
  EXPECT_EQ(client.Line(300), "");
}

TEST_F(LinkServerTest, OutputReachesTheDeviceAndInputsKeepTheirOrder) {
  auto device = std::make_shared<EchoDevice>();
  m_server.Attach("pad", device);
  Client client(m_server.Port());
  Greet(client);
  client.Send(OutputLine("pad", 0x41));
  EXPECT_EQ(client.Line(), "input pad " + InputHex(0x41, 1));
  EXPECT_EQ(client.Line(), "input pad " + InputHex(0x41, 2));
  ASSERT_EQ(device->Reports().size(), 1u);
  EXPECT_EQ(device->Reports()[0][1], 0x41);
  EXPECT_EQ(m_server.OutputCount("pad"), 1u);
}

TEST_F(LinkServerTest, AControllerThatStopsTakingReportsIsStalledOnTheLink) {
  auto device = std::make_shared<EchoDevice>();
  m_server.Attach("pad", device);
  Client client(m_server.Port());
  Greet(client);
  client.Send(OutputLine("pad", 0x5A));
  EXPECT_EQ(client.Line(), "stall pad");
}

TEST_F(LinkServerTest, MalformedLinesAreIgnored) {
  auto device = std::make_shared<EchoDevice>();
  m_server.Attach("pad", device);
  Client client(m_server.Port());
  Greet(client);
  const std::string good = OutputLine("pad", 1);
  for (const std::string& line : {
           std::string("output pad 00\n"),                  // too short
           "output pad " + std::string(130, 'g') + "\n",    // not hex
           "output pad +1" + std::string(128, '0') + "\n",  // sign inside the hex
           OutputLine("other", 1),                          // no such interface
           OutputLine("bad/id", 1),                         // not an id
           good.substr(0, good.size() - 1) + " extra\n",    // extra field
           std::string(5000, 'x') + "\n",                   // far too long
           std::string("open pad x rw\n"),                  // handle not a number
           std::string("open pad 8 x\n"),                   // no such access
           "open pad 9 " + std::string(2000, 'w') + "\n",   // the same, longer than any link line
           std::string("open pad 10 rw\r\n"),               // not printable: a carriage return
           std::string("\n"),
           std::string("whatever 1 2 3\n"),
       }) {
    client.Send(line);
  }
  client.Send("open pad 7 rw\nclose 7\n");
  std::thread answer([&] {
    std::string sync = client.Line();
    client.Send(sync + "\n");  // the program's answer repeats the line
  });
  EXPECT_TRUE(m_server.Sync(kWaitMs));
  answer.join();
  EXPECT_TRUE(device->Reports().empty());
  ASSERT_EQ(m_server.Opens().size(), 1u);
  EXPECT_EQ(m_server.Opens()[0].id, "pad");
  EXPECT_EQ(m_server.Opens()[0].handle, 7u);
  EXPECT_EQ(m_server.Opens()[0].access, "rw");
  EXPECT_EQ(m_server.Closes(), std::vector<std::uint64_t>{7});
}

TEST_F(LinkServerTest, SyncWithoutAnswerTimesOut) {
  Client client(m_server.Port());
  Greet(client);
  EXPECT_FALSE(m_server.Sync(200));
  EXPECT_EQ(client.Line().rfind("sync ", 0), 0u);
}

TEST_F(LinkServerTest, AttachAfterReadyNotifyAndDetachGoOutAsLines) {
  Client client(m_server.Port());
  EXPECT_EQ(Greet(client), std::vector<std::string>{"ready"});
  auto device = std::make_shared<EchoDevice>();
  m_server.Attach("pad", device);
  EXPECT_TRUE(m_server.Notify("arrival"));
  EXPECT_FALSE(m_server.Notify("sideways"));
  EXPECT_EQ(client.Line(), "attach pad 3a7c 5750");
  EXPECT_EQ(client.Line(), "notify arrival");
  // The device unplugs itself.
  client.Send(OutputLine("pad", 0xDD));
  EXPECT_EQ(client.Line(), "detach pad");
  // Outputs for a detached interface no longer reach the device.
  client.Send(OutputLine("pad", 0x42));
  std::thread answer([&] { client.Send(client.Line() + "\n"); });
  EXPECT_TRUE(m_server.Sync(kWaitMs));
  answer.join();
  EXPECT_EQ(device->Reports().size(), 1u);
}

TEST_F(LinkServerTest, DisconnectIsSeen) {
  Client client(m_server.Port());
  Greet(client);
  EXPECT_FALSE(m_server.WaitForDisconnect(100));
  client.Close();
  EXPECT_TRUE(m_server.WaitForDisconnect(kWaitMs));
  EXPECT_TRUE(m_server.ClientGone());
  EXPECT_FALSE(m_server.Sync(100));
}

}  // namespace
}  // namespace kestro::link
