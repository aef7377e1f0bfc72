// The bridge's side of the device link: each server line applied to the HID stack in order,
// what is refused, what ends the run, and the lines that go back.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/link/LinkLine.h"
#include "vhid/VhidIdentity.h"
#include "vhid/bridge/Bridge.h"

namespace kestro::vhid {
namespace {

// Records what the bridge asked of the stack, one line each; can be told to fail.
class FakeStack : public VirtualStack {
 public:
  bool Add(std::uint32_t serial, std::uint16_t vendorId, std::uint16_t productId,
           std::string& error) override {
    char line[64];
    std::snprintf(line, sizeof(line), "add %u %04x %04x", serial, vendorId, productId);
    return Record(line, error);
  }
  bool Remove(std::uint32_t serial, std::string& error) override {
    return Record("remove " + std::to_string(serial), error);
  }
  bool Input(std::uint32_t serial, const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
             std::string& error) override {
    return Record("input " + std::to_string(serial) + " " + link::ToHex(payload, 2), error);
  }
  bool Settle(std::string& error) override { return Record("settle", error); }
  bool Stall(std::uint32_t serial, std::string& error) override {
    return Record("stall " + std::to_string(serial), error);
  }

  std::vector<std::string> calls;
  std::set<std::string> failing;  // calls that fail

 private:
  bool Record(const std::string& call, std::string& error) {
    calls.push_back(call);
    if (failing.count(call) == 0) return true;
    error = "it broke";
    return false;
  }
};

class BridgeTest : public ::testing::Test {
 protected:
  Bridge::Step Apply(const std::string& line) { return m_bridge.Apply(line); }

  // Applies lines that must all go on.
  void ApplyAll(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) ASSERT_EQ(Apply(line), Bridge::Step::kGoOn) << line;
  }

  static std::string Hex(std::uint8_t first) {
    std::array<std::uint8_t, VHID_PAYLOAD_BYTES> payload{};
    payload[0] = first;
    return link::ToHex(payload.data(), payload.size());
  }

  FakeStack m_stack;
  std::vector<std::string> m_sent;
  std::vector<std::string> m_warnings;
  Bridge m_bridge{m_stack, [this](const std::string& line) { m_sent.push_back(line); },
                  [this](const std::string& message) { m_warnings.push_back(message); }};
};

TEST_F(BridgeTest, EachAttachAddsADeviceWithItsIdentityAndAFreshSerial) {
  ApplyAll({"attach kestro0 3a7c 5750", "attach pad.B-2 3A7C 3002"});
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750", "add 2 3a7c 3002"}));
}

TEST_F(BridgeTest, ReattachingAPresentIdReplacesItsDeviceWithANewOne) {
  ApplyAll({"attach kestro0 3a7c 5750", "attach kestro0 3a7c 3002"});
  EXPECT_EQ(m_stack.calls,
            (std::vector<std::string>{"add 1 3a7c 5750", "remove 1", "add 2 3a7c 3002"}));
}

TEST_F(BridgeTest, InputsReachTheDeviceAttachedUnderTheirIdOnly) {
  ApplyAll({"attach a 3a7c 5750", "attach b 3a7c 5750", "input b " + Hex(0x11),
            "input a " + Hex(0x22), "detach a", "input a " + Hex(0x33),
            "input nobody " + Hex(0x44)});
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750", "add 2 3a7c 5750",
                                                     "input 2 1100", "input 1 2200", "remove 1"}));
}

TEST_F(BridgeTest, StallReachesTheDeviceAttachedUnderItsIdOnly) {
  ApplyAll({"attach a 3a7c 5750", "attach b 3a7c 5750", "stall b", "stall nobody", "detach a",
            "stall a"});
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750", "add 2 3a7c 5750",
                                                     "stall 2", "remove 1"}));
  EXPECT_TRUE(m_warnings.empty());
}

TEST_F(BridgeTest, DetachingAnIdThatIsNotAttachedChangesNothing) {
  ApplyAll({"detach kestro0", "attach kestro0 3a7c 5750", "detach kestro0", "detach kestro0"});
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750", "remove 1"}));
}

TEST_F(BridgeTest, AttachWithFlagsIsRefusedWithAWarningAndTheRunGoesOn) {
  for (const char* flags : {"noopen", "noattr", "noopen,noattr"}) {
    m_warnings.clear();
    EXPECT_EQ(Apply(std::string("attach kestro0 3a7c 5750 ") + flags), Bridge::Step::kGoOn);
    ASSERT_EQ(m_warnings.size(), 1u) << flags;
    EXPECT_NE(m_warnings[0].find(flags), std::string::npos) << m_warnings[0];
  }
  EXPECT_TRUE(m_stack.calls.empty());
  // Nothing was attached, so its inputs reach nobody.
  ApplyAll({"input kestro0 " + Hex(1)});
  EXPECT_TRUE(m_stack.calls.empty());
}

TEST_F(BridgeTest, ReattachingAPresentIdWithFlagsRemovesItsDeviceAndAttachesNone) {
  ApplyAll({"attach kestro0 3a7c 5750", "attach kestro0 3a7c 3002 noopen",
            "input kestro0 " + Hex(1), "attach kestro0 3a7c 5750",
            "attach kestro0 3a7c 3002 noattr", "input kestro0 " + Hex(2), "detach kestro0"});
  // The old device must not go on taking the traffic meant for the refused one.
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750", "remove 1",
                                                     "add 2 3a7c 5750", "remove 2"}));
  EXPECT_EQ(m_warnings.size(), 2u);
}

TEST_F(BridgeTest, SyncIsAnsweredOnlyAfterTheStackHasSettled) {
  ApplyAll({"attach kestro0 3a7c 5750", "input kestro0 " + Hex(7), "sync 42"});
  EXPECT_EQ(m_stack.calls.back(), "settle");
  EXPECT_EQ(m_sent, (std::vector<std::string>{"sync 42"}));
}

TEST_F(BridgeTest, NotificationsAreLeftToWindowsAndReadyIsReported) {
  ApplyAll({"notify arrival", "notify removal", "notify devnodes"});
  EXPECT_EQ(Apply("ready"), Bridge::Step::kReady);
  EXPECT_TRUE(m_stack.calls.empty());
  EXPECT_TRUE(m_sent.empty());
}

TEST_F(BridgeTest, ALineEndingInCarriageReturnIsTheSameLine) {
  EXPECT_EQ(Apply("attach kestro0 3a7c 5750\r"), Bridge::Step::kGoOn);
  EXPECT_EQ(Apply("ready\r"), Bridge::Step::kReady);
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"add 1 3a7c 5750"}));
}

class BridgeMalformedTest : public BridgeTest, public ::testing::WithParamInterface<std::string> {};

// As the device link asks of both sides: said and quoted, then ignored; the run goes on.
TEST_P(BridgeMalformedTest, AMalformedLineIsSaidAndIgnored) {
  EXPECT_EQ(Apply(GetParam()), Bridge::Step::kGoOn);
  ASSERT_EQ(m_warnings.size(), 1u);
  EXPECT_NE(m_warnings[0].find("malformed"), std::string::npos) << m_warnings[0];
  EXPECT_NE(m_warnings[0].find(GetParam().substr(0, 6)), std::string::npos) << m_warnings[0];
  EXPECT_TRUE(m_stack.calls.empty());
  EXPECT_TRUE(m_sent.empty());
  EXPECT_EQ(Apply("attach kestro0 3a7c 5750"), Bridge::Step::kGoOn);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BridgeMalformedTest,
    ::testing::Values("attach kestro0 3a7c", "attach kestro0 3a7c 5750 noopen extra",
                      "attach kestro0 3a7 5750", "attach kestro0 3a7c 575g",
                      "attach kestro0 3a7c 5750 nosuchflag", "attach kestro0 3a7c 5750 noopen,",
                      "attach bad/id 3a7c 5750", "attach " + std::string(65, 'x') + " 3a7c 5750",
                      "input kestro0 00", "input kestro0 " + std::string(127, '0') + "g", "detach",
                      "notify", "notify later", "ready now", "sync", "sync 1 2", "hello 1",
                      "open kestro0 1 rw", "", "attach  kestro0 3a7c 5750",
                      "attach kestro0\t3a7c 5750", "ready "));

struct StackFailureCase {
  std::vector<std::string> lines;
  std::string failingCall;
  std::string failureMentions;
};

void PrintTo(const StackFailureCase& c, std::ostream* os) { *os << c.failingCall << " fails"; }

class BridgeStackFailureTest : public BridgeTest,
                               public ::testing::WithParamInterface<StackFailureCase> {};

TEST_P(BridgeStackFailureTest, AStackThatFailsEndsTheRunSayingWhichLine) {
  const StackFailureCase& c = GetParam();
  m_stack.failing.insert(c.failingCall);
  Bridge::Step last = Bridge::Step::kGoOn;
  for (const std::string& line : c.lines) last = Apply(line);
  EXPECT_EQ(last, Bridge::Step::kFailed);
  EXPECT_NE(m_bridge.Failure().find(c.failureMentions), std::string::npos) << m_bridge.Failure();
  EXPECT_NE(m_bridge.Failure().find("it broke"), std::string::npos) << m_bridge.Failure();
  EXPECT_TRUE(m_sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, BridgeStackFailureTest,
    ::testing::Values(
        StackFailureCase{
            {"attach kestro0 3a7c 5750"}, "add 1 3a7c 5750", "attach kestro0 3a7c 5750"},
        StackFailureCase{
            {"attach kestro0 3a7c 5750", "detach kestro0"}, "remove 1", "detach kestro0"},
        StackFailureCase{
            {"attach kestro0 3a7c 5750", "attach kestro0 3a7c 5750"}, "remove 1", "detach kestro0"},
        StackFailureCase{{"attach kestro0 3a7c 5750", "input kestro0 " + std::string(128, '0')},
                         "input 1 0000",
                         "input kestro0"},
        StackFailureCase{{"sync 9"}, "settle", "sync 9"}));

TEST_F(BridgeTest, OutputReportsGoBackUnderTheirIdEvenJustAfterADetach) {
  ApplyAll({"attach kestro0 3a7c 5750", "attach other 3a7c 5750", "detach kestro0"});
  std::uint8_t report[VHID_REPORT_BYTES] = {};
  report[1] = 0xAB;
  const auto line = m_bridge.OutputLine(1, report);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, "output kestro0 00ab" + std::string(126, '0'));
  EXPECT_EQ(m_bridge.OutputLine(2, report)->substr(0, 13), "output other ");
  // Reports of devices that were never this run's (an earlier run left them) are not sent.
  EXPECT_FALSE(m_bridge.OutputLine(3, report).has_value());
  EXPECT_FALSE(m_bridge.OutputLine(0, report).has_value());
}

TEST_F(BridgeTest, AtTheEndEveryDeviceStillAttachedIsRemoved) {
  ApplyAll({"attach a 3a7c 5750", "attach b 3a7c 5750", "attach c 3a7c 5750", "detach b"});
  m_stack.calls.clear();
  std::string error;
  EXPECT_TRUE(m_bridge.RemoveAll(error));
  EXPECT_EQ(m_stack.calls, (std::vector<std::string>{"remove 3", "remove 1"}));
  m_stack.calls.clear();
  EXPECT_TRUE(m_bridge.RemoveAll(error));
  EXPECT_TRUE(m_stack.calls.empty());
}

TEST_F(BridgeTest, ARemovalThatFailsAtTheEndIsReportedButTheOthersStillGo) {
  ApplyAll({"attach a 3a7c 5750", "attach b 3a7c 5750"});
  m_stack.failing.insert("remove 2");
  std::string error;
  EXPECT_FALSE(m_bridge.RemoveAll(error));
  EXPECT_NE(error.find("removing b"), std::string::npos) << error;
  EXPECT_EQ(m_stack.calls.back(), "remove 1");
}

TEST(BridgeSerialTest, NumbersDevicesFromTheFirstSerialItIsGiven) {
  FakeStack stack;
  Bridge bridge(
      stack, [](const std::string&) {}, [](const std::string&) {}, 40);
  ASSERT_EQ(bridge.Apply("attach kestro0 3a7c 5750"), Bridge::Step::kGoOn);
  EXPECT_EQ(stack.calls, (std::vector<std::string>{"add 40 3a7c 5750"}));
  std::uint8_t report[VHID_REPORT_BYTES] = {};
  EXPECT_FALSE(bridge.OutputLine(1, report).has_value());
  EXPECT_TRUE(bridge.OutputLine(40, report).has_value());
}

TEST(BridgeSerialTest, RefusesToAttachOnceTheSerialsRunOut) {
  FakeStack stack;
  Bridge bridge(
      stack, [](const std::string&) {}, [](const std::string&) {}, VHID_MAX_SERIAL);
  ASSERT_EQ(bridge.Apply("attach a 3a7c 5750"), Bridge::Step::kGoOn);
  EXPECT_EQ(bridge.Apply("attach b 3a7c 5750"), Bridge::Step::kFailed);
  EXPECT_NE(bridge.Failure().find("attach b"), std::string::npos) << bridge.Failure();
  EXPECT_EQ(stack.calls.size(), 1u);
}

}  // namespace
}  // namespace kestro::vhid
