// The virtual controller inside Wine's own HID stack: kestro-vhid.exe serves the devices of a
// device-link server through kestrovhid.sys, and a Windows program meets them as it meets a USB
// controller: vhid-probe.exe does what the updater does (SetupAPI, HidD_GetAttributes,
// overlapped ReadFile/WriteFile, device notifications) and reports what it saw. The shipped
// program itself runs against it in ShippedTest.cpp.
//
// Times (adding and removing a device, report round trips) are recorded as test properties and
// printed, never asserted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/Device.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kProbeMs = 60000;

std::string VhidFile(const std::string& name) {
  return TestPaths().windowsBuildDir + "/vhid/" + name;
}

// Echoes each output report's payload as one input report.
class EchoDevice : public sim::Device {
 public:
  EchoDevice(std::uint16_t vendorId, std::uint16_t productId)
      : m_vendorId(vendorId), m_productId(productId) {}
  std::uint16_t VendorId() const override { return m_vendorId; }
  std::uint16_t ProductId() const override { return m_productId; }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    sim::Payload payload;
    std::memcpy(payload, report + 1, sim::kPayloadSize);
    host.SendInput(payload, 0);
  }

 private:
  std::uint16_t m_vendorId;
  std::uint16_t m_productId;
};

// Answers any output report with a burst of input reports whose first bytes count up from 0.
class BurstDevice : public sim::Device {
 public:
  explicit BurstDevice(int count) : m_count(count) {}
  std::uint16_t VendorId() const override { return 0x3A7C; }
  std::uint16_t ProductId() const override { return 0x5750; }
  void OnOutput(const sim::OutputReport&, sim::DeviceHost& host) override {
    for (int n = 0; n < m_count; ++n) {
      sim::Payload payload = {};
      payload[0] = static_cast<std::uint8_t>(n);
      host.SendInput(payload, 0);
    }
  }

 private:
  int m_count;
};

// One line of probe output: its key=value words.
using Fields = std::map<std::string, std::string>;

std::vector<Fields> ProbeLines(const std::string& output) {
  std::vector<Fields> lines;
  std::istringstream stream(output);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Fields fields;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      const std::size_t equals = word.find('=');
      if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    if (!fields.empty()) lines.push_back(fields);
  }
  return lines;
}

// A field's value, or "" when the line has no such field.
std::string Value(const Fields& fields, const std::string& key) {
  const auto found = fields.find(key);
  return found == fields.end() ? "" : found->second;
}

// The first line of probe output that has the key; empty when none.
Fields LineWith(const std::string& output, const std::string& key) {
  for (const Fields& fields : ProbeLines(output)) {
    if (fields.count(key)) return fields;
  }
  return {};
}

// A device-link server that says exactly what a test scripts, lines the LinkServer never sends.
class ScriptedServer {
 public:
  ScriptedServer() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(m_listen, 1) == 0 &&
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      m_port = ntohs(address.sin_port);
    }
  }
  ~ScriptedServer() {
    if (m_client >= 0) close(m_client);
    if (m_listen >= 0) close(m_listen);
  }
  std::uint16_t Port() const { return m_port; }
  bool Accept(std::uint32_t timeoutMs) {
    pollfd waiting{m_listen, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeoutMs)) <= 0) return false;
    m_client = accept(m_listen, nullptr, nullptr);
    return m_client >= 0;
  }
  bool Send(const std::string& line) {
    const std::string data = line + "\n";
    return send(m_client, data.data(), data.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(data.size());
  }
  // The next line, or "<closed>" / "<timeout>".
  std::string ReadLine(std::uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const std::size_t newline = m_pending.find('\n');
      if (newline != std::string::npos) {
        std::string line = m_pending.substr(0, newline);
        m_pending.erase(0, newline + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return "<timeout>";
      pollfd waiting{m_client, POLLIN, 0};
      if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[1024];
      const ssize_t got = recv(m_client, buffer, sizeof buffer, 0);
      if (got <= 0) return "<closed>";
      m_pending.append(buffer, static_cast<std::size_t>(got));
    }
  }
  // The server ends the run.
  void Close() {
    if (m_client >= 0) close(m_client);
    m_client = -1;
  }
  // Nobody listens on Port() any more.
  void StopListening() {
    if (m_listen >= 0) close(m_listen);
    m_listen = -1;
  }

 private:
  int m_listen = -1;
  int m_client = -1;
  std::uint16_t m_port = 0;
  std::string m_pending;
};

class VirtualHidTest : public E2eTest {
 protected:
  RunResult Probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"wine", VhidFile("vhid-probe.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv, WineEnv(), kProbeMs);
  }

  std::unique_ptr<Background> ProbeInBackground(const std::vector<std::string>& args,
                                                const std::string& outputFile) {
    std::vector<std::string> argv{"wine", VhidFile("vhid-probe.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Background>(argv, WineEnv(), outputFile);
  }

  // The HID interfaces the probe enumerates with this vendor and product id.
  std::vector<Fields> Listed(const std::string& vid, const std::string& pid) {
    const RunResult list = Probe({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.output;
    std::vector<Fields> found;
    for (const Fields& fields : ProbeLines(list.output)) {
      if (fields.count("device") && Value(fields, "vid") == vid && Value(fields, "pid") == pid) {
        found.push_back(fields);
      }
    }
    return found;
  }

  // Attaches after the start and measures until the device is present in Wine's stack.
  double AttachAndSync(const std::string& id, std::shared_ptr<sim::Device> device) {
    const auto start = Clock::now();
    m_server->Attach(id, std::move(device));
    EXPECT_TRUE(m_server->Sync(kSyncMs)) << "attach " << id << " was not applied";
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }

  double DetachAndSync(const std::string& id) {
    const auto start = Clock::now();
    m_server->Detach(id);
    EXPECT_TRUE(m_server->Sync(kSyncMs)) << "detach " << id << " was not applied";
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
};

TEST_F(VirtualHidTest, AttachedDevicesAreEnumeratedAsUsbControllersWithTheirIds) {
  StartServer();
  m_server->Attach("first", std::make_shared<EchoDevice>(0x3A7C, 0x5750));
  m_server->Attach("second", std::make_shared<EchoDevice>(0x3A7C, 0x5750));
  m_server->Attach("other", std::make_shared<EchoDevice>(0x1234, 0xABCD));
  ASSERT_NO_FATAL_FAILURE(StartBridge());

  const std::vector<Fields> controllers = Listed("3a7c", "5750");
  ASSERT_EQ(controllers.size(), 2u);
  EXPECT_NE(Value(controllers[0], "device"), Value(controllers[1], "device"));
  for (const Fields& controller : controllers) {
    EXPECT_EQ(Value(controller, "device").rfind("\\\\?\\hid#vid_3a7c&pid_5750#", 0), 0u)
        << Value(controller, "device");
    EXPECT_EQ(Value(controller, "product"), "Kestro_virtual_controller");
  }
  ASSERT_EQ(Listed("1234", "abcd").size(), 1u);
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
}

TEST_F(VirtualHidTest, WrittenReportsReachTheServerAndItsInputsReachReadFile) {
  StartServer();
  m_server->Attach("echo0", std::make_shared<EchoDevice>(0x3A7C, 0x5750));
  m_server->Attach("echo1", std::make_shared<EchoDevice>(0x3A7C, 0x5751));
  ASSERT_NO_FATAL_FAILURE(StartBridge());

  constexpr int kEchoes = 200;
  const RunResult first = Probe({"echo", "3a7c", "5750", std::to_string(kEchoes)});
  const RunResult second = Probe({"echo", "3a7c", "5751", "20"});
  EXPECT_EQ(first.exitCode, 0) << first.output;
  EXPECT_EQ(second.exitCode, 0) << second.output;
  // Each write counts as 65 bytes, as on Windows, and comes back unchanged behind report id 0.
  EXPECT_EQ(Value(LineWith(first.output, "written"), "written"), "65") << first.output;
  EXPECT_EQ(Value(LineWith(first.output, "first_in"), "first_in"), "000102") << first.output;
  const Fields echoes = LineWith(first.output, "echoes");
  EXPECT_EQ(Value(echoes, "echoes"), std::to_string(kEchoes)) << first.output;
  EXPECT_EQ(Value(echoes, "mismatches"), "0");
  // Each interface's reports went out under its own id.
  EXPECT_EQ(m_server->OutputCount("echo0"), static_cast<std::size_t>(kEchoes));
  EXPECT_EQ(m_server->OutputCount("echo1"), 20u);
  if (echoes.count("median_us")) {
    Measured("round_trip_median_us", std::stod(echoes.at("median_us")));
    Measured("round_trip_p90_us", std::stod(echoes.at("p90_us")));
  }
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
}

TEST_F(VirtualHidTest, DetachFailsTheWaitingReadThenWritesAndOpens) {
  StartServer();
  m_server->Attach("kestro0", std::make_shared<EchoDevice>(0x3A7C, 0x5750));
  ASSERT_NO_FATAL_FAILURE(StartBridge());

  const std::string holdOutput = Artifact("hold.out");
  auto hold = ProbeInBackground({"hold", "3a7c", "5750", "30000"}, holdOutput);
  ASSERT_TRUE(WaitForText(holdOutput, "holding=", kProbeMs)) << ReadFile(holdOutput);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the read is under way
  Measured("remove_ms", DetachAndSync("kestro0"));
  ASSERT_TRUE(hold->Wait(kProbeMs).has_value()) << ReadFile(holdOutput);

  const std::string output = ReadFile(holdOutput);
  const Fields read = LineWith(output, "read");
  EXPECT_EQ(Value(read, "read"), "failed") << output;
  // Far less than the read's own 30 s: the removal ended it.
  EXPECT_LT(std::stol("0" + Value(read, "after_ms")), 25000) << output;
  EXPECT_EQ(Value(LineWith(output, "write_after"), "write_after"), "failed") << output;
  // Once the detach has been applied the path opens no more.
  const RunResult reopen = Probe({"open", Value(LineWith(output, "holding"), "holding")});
  EXPECT_EQ(Value(LineWith(reopen.output, "open"), "open"), "failed") << reopen.output;
  EXPECT_TRUE(Listed("3a7c", "5750").empty());
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
}

TEST_F(VirtualHidTest, WindowsItselfNotifiesArrivalAndRemoval) {
  StartServer();
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  const std::string watchOutput = Artifact("watch.out");
  auto watch = ProbeInBackground({"watch", "15000"}, watchOutput);
  ASSERT_TRUE(WaitForText(watchOutput, "watching=yes", kProbeMs)) << ReadFile(watchOutput);

  Measured("add_ms", AttachAndSync("kestro0", std::make_shared<EchoDevice>(0x3A7C, 0x5750)));
  ASSERT_TRUE(WaitForText(watchOutput, "event=arrival", kSyncMs)) << ReadFile(watchOutput);
  Measured("remove_ms", DetachAndSync("kestro0"));
  ASSERT_TRUE(WaitForText(watchOutput, "event=removecomplete", kSyncMs)) << ReadFile(watchOutput);
  watch->Kill();

  std::vector<std::string> events;
  for (const Fields& fields : ProbeLines(ReadFile(watchOutput))) {
    if (!fields.count("event")) continue;
    events.push_back(fields.at("event"));
    if (fields.at("event") != "devnodes") {
      std::string path = fields.at("path");
      std::transform(path.begin(), path.end(), path.begin(), ::tolower);
      EXPECT_EQ(path.rfind("\\\\?\\hid#vid_3a7c&pid_5750#", 0), 0u) << path;
    }
  }
  // One arrival, then one removal, each right after a devnodes message.
  const auto arrival = std::find(events.begin(), events.end(), "arrival");
  const auto removal = std::find(events.begin(), events.end(), "removecomplete");
  ASSERT_TRUE(arrival != events.end() && removal != events.end()) << ReadFile(watchOutput);
  EXPECT_LT(arrival, removal);
  EXPECT_EQ(std::count(events.begin(), events.end(), "arrival"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "removecomplete"), 1);
  EXPECT_TRUE(arrival != events.begin() && *(arrival - 1) == "devnodes") << ReadFile(watchOutput);
  EXPECT_EQ(*(removal - 1), "devnodes") << ReadFile(watchOutput);
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
}

TEST_F(VirtualHidTest, AHandleQueuesTheNewest32ReportsAndOneOpenedLaterNone) {
  StartServer();
  constexpr int kBurst = 40;
  m_server->Attach("kestro0", std::make_shared<BurstDevice>(kBurst));
  ASSERT_NO_FATAL_FAILURE(StartBridge());

  const RunResult flood = Probe({"flood", "3a7c", "5750", "2000"});
  ASSERT_EQ(flood.exitCode, 0) << flood.output;
  const Fields queued = LineWith(flood.output, "queued");
  EXPECT_EQ(Value(queued, "queued"), "32") << flood.output;
  std::set<int> firsts;
  std::stringstream list(Value(queued, "first_bytes"));
  for (std::string n; std::getline(list, n, ',');) firsts.insert(std::stoi(n));
  std::set<int> newest;
  for (int n = kBurst - 32; n < kBurst; ++n) newest.insert(n);
  EXPECT_EQ(firsts, newest) << flood.output;
  RecordProperty("order_read", Value(queued, "first_bytes"));
  EXPECT_EQ(Value(queued, "late_handle_queued"), "0") << flood.output;
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
}

TEST_F(VirtualHidTest, AttachFlagsAreRefusedAndAMalformedLineIsIgnored) {
  ScriptedServer server;
  ASSERT_NE(server.Port(), 0);
  m_bridgeOutput = Artifact("bridge.out");
  m_bridge = StartBridgeOn(server.Port(), m_bridgeOutput);
  ASSERT_TRUE(server.Accept(kStartMs));
  ASSERT_EQ(server.ReadLine(kStartMs), "hello 1");
  server.Send("attach flagged 3a7c 5750 noopen");
  server.Send("attach plain 3a7c 5751");
  server.Send("ready");
  server.Send("sync 1");
  EXPECT_EQ(server.ReadLine(kSyncMs), "sync 1");
  EXPECT_TRUE(WaitForLine(m_bridgeOutput, "ready", kSyncMs));
  EXPECT_NE(ReadFile(m_bridgeOutput).find("refused"), std::string::npos)
      << ReadFile(m_bridgeOutput);
  EXPECT_TRUE(Listed("3a7c", "5750").empty());
  EXPECT_EQ(Listed("3a7c", "5751").size(), 1u);

  server.Send("detach");
  server.Send("sync 2");
  EXPECT_EQ(server.ReadLine(kSyncMs), "sync 2");
  EXPECT_NE(ReadFile(m_bridgeOutput).find("ignored a malformed line from the server: \"detach\""),
            std::string::npos)
      << ReadFile(m_bridgeOutput);
  EXPECT_EQ(Listed("3a7c", "5751").size(), 1u);
  // The server's end is the run's end: it cleans up on its way out.
  server.Close();
  EXPECT_EQ(m_bridge->Wait(kProgramEndMs), std::optional<int>(0));
  m_bridge.reset();
  EXPECT_TRUE(Listed("3a7c", "5751").empty());
}

TEST_F(VirtualHidTest, WithoutAServerTheBridgeSaysSoAndEnds) {
  ScriptedServer gone;
  const std::uint16_t port = gone.Port();
  gone.StopListening();
  const std::string output = Artifact("bridge.out");
  auto bridge = StartBridgeOn(port, output);
  EXPECT_EQ(bridge->Wait(kStartMs), std::optional<int>(1));
  EXPECT_NE(ReadFile(output).find("cannot connect to 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << ReadFile(output);
}

TEST_F(VirtualHidTest, ANewRunRemovesTheDevicesOfARunThatWasKilled) {
  StartServer();
  m_server->Attach("old", std::make_shared<EchoDevice>(0x3A7C, 0x5750));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  ASSERT_EQ(Listed("3a7c", "5750").size(), 1u);
  m_bridge->Kill();  // no chance to remove its device
  m_bridge.reset();
  m_server->Stop();
  EXPECT_EQ(Listed("3a7c", "5750").size(), 1u);

  StartServer();
  m_server->Attach("new", std::make_shared<EchoDevice>(0x3A7C, 0x5751));
  ASSERT_NO_FATAL_FAILURE(StartBridge());
  EXPECT_TRUE(Listed("3a7c", "5750").empty());
  ASSERT_EQ(Listed("3a7c", "5751").size(), 1u);
  // The new run has the driver to itself: reports flow.
  const RunResult echo = Probe({"echo", "3a7c", "5751", "5"});
  EXPECT_EQ(echo.exitCode, 0) << echo.output;
  EXPECT_EQ(EndBridgeRun(), std::optional<int>(0));
  EXPECT_TRUE(Listed("3a7c", "5751").empty());
}

}  // namespace
}  // namespace kestro::e2e
