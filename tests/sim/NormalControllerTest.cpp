#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/sim/FakeHost.h"

namespace kestro::sim {
namespace {

using testing::Bytes;
using testing::FakeHost;
using testing::Prefix;
using testing::Prefixes;
using testing::Write;
using testing::WriteLe32;

// Host reports, payload bytes from 0 on, as the updater writes them.
const Bytes kVersionRequest = {0x05, 0x00, 0x16, 0x01, 0x00, 0x04};
const Bytes UPDATE_REQUEST = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};
const Bytes RECV_FAILED = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
const Bytes kFirmwareEnd = {0x05, 0x00, 0x16, 0x01, 0x00, 0x02};
// Controller reports.
const Bytes kDataRequest = {0x05, 0x00, 0x16, 0x01, 0x00, 0x14};

Bytes FirmwareInfo(std::uint32_t version, std::uint32_t base, std::uint32_t length) {
  Bytes report = {0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
  report.resize(8 + 28, 0xEE);  // the 16 bytes behind the three words, the host's to fill
  WriteLe32(report, 8, version);
  WriteLe32(report, 12, base);
  WriteLe32(report, 16, length);
  return report;
}

Bytes FirmwareData(const Bytes& block) {
  if (block.empty()) return {0x05, 0x00, 0x16, 0x01, 0x00, 0x00};
  const auto k = static_cast<std::uint8_t>(block.size());
  Bytes report = {0x00, 0x00, 0x16, 0x00, 0x00, 0x00, k, 0x00};
  report[0] = static_cast<std::uint8_t>(k + 7);
  report[3] = static_cast<std::uint8_t>(k + 3);
  report.insert(report.end(), block.begin(), block.end());
  return report;
}

struct VersionCase {
  std::uint32_t version;
  Bytes reply;  // the whole 64-byte payload starts with these, zeros behind
};

class NormalVersionReply : public ::testing::TestWithParam<VersionCase> {};

TEST_P(NormalVersionReply, CarriesTheVersionWordInArgumentBytes) {
  NormalConfig config;
  config.version = GetParam().version;
  NormalController device(config);
  FakeHost host;
  Write(device, host, kVersionRequest);
  Bytes expected = GetParam().reply;
  expected.resize(kPayloadSize);
  ASSERT_EQ(host.inputs.size(), 1u);
  EXPECT_EQ(host.inputs[0], expected);
  EXPECT_EQ(device.VersionQueries(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, NormalVersionReply,
    ::testing::Values(
        VersionCase{123, {0x0B, 0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x7B, 0x00, 0x00, 0x00}},
        VersionCase{0x00030069,
                    {0x0B, 0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x69, 0x00, 0x03, 0x00}},
        VersionCase{0xFFFFFFFF,
                    {0x0B, 0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}}));

class NormalUpdateInfo : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(NormalUpdateInfo, CarriesTheFirmwareTypeAtPayloadByte41) {
  NormalConfig config;
  config.firmwareType = GetParam();
  NormalController device(config);
  FakeHost host;
  Write(device, host, UPDATE_REQUEST);
  ASSERT_EQ(host.inputs.size(), 1u);
  const Bytes& reply = host.inputs[0];
  EXPECT_EQ(Prefix(reply, 5), (Bytes{44, 0x00, 0x19, 40, 0x00}));
  const std::uint32_t type =
      reply[41] | (reply[42] << 8) | (reply[43] << 16) | (std::uint32_t{reply[44]} << 24);
  EXPECT_EQ(type, GetParam());
  EXPECT_TRUE(device.UpdateRequested());
}

INSTANTIATE_TEST_SUITE_P(Types, NormalUpdateInfo, ::testing::Values(1u, 200u, 2u, 0x01020304u));

// Drives a whole transfer the way the updater does: every data request is answered with the next
// block of the image, or with the end command once the whole image has gone out.
struct TransferCase {
  std::size_t length;
  std::uint32_t dataRequests;  // including the one answered with the end command
};

class NormalTransfer : public ::testing::TestWithParam<TransferCase> {};

TEST_P(NormalTransfer, AsksOnceMoreAfterHoldingTheImage) {
  NormalController device;
  FakeHost host;
  const Bytes image = PatternImage(GetParam().length, 7);
  Write(device, host, UPDATE_REQUEST);
  host.Take();
  Write(device, host,
        FirmwareInfo(0x00020105, 0x08004000, static_cast<std::uint32_t>(image.size())));
  std::size_t sent = 0;
  for (int guard = 0; guard < 100; ++guard) {
    const std::vector<Bytes> answers = host.Take();
    if (answers.empty()) break;
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_EQ(Prefix(answers[0], 6), kDataRequest);
    if (sent == image.size()) {
      Write(device, host, kFirmwareEnd);
      continue;
    }
    const std::size_t k = std::min<std::size_t>(32, image.size() - sent);
    Write(device, host, FirmwareData(Bytes(image.begin() + sent, image.begin() + sent + k)));
    sent += k;
  }
  EXPECT_TRUE(device.Ended());
  EXPECT_EQ(device.DataRequests(), GetParam().dataRequests);
  EXPECT_EQ(device.ReceivedImage(), image);
  EXPECT_FALSE(device.ReceivedBeyondLength());
  EXPECT_EQ(device.AnnouncedVersion(), 0x00020105u);
  EXPECT_EQ(device.AnnouncedBase(), 0x08004000u);
  EXPECT_EQ(device.AnnouncedLength(), image.size());
}

INSTANTIATE_TEST_SUITE_P(Lengths, NormalTransfer,
                         ::testing::Values(TransferCase{1, 2}, TransferCase{32, 2},
                                           TransferCase{33, 3}, TransferCase{64, 3},
                                           TransferCase{65, 4}, TransferCase{100, 5}));

TEST(NormalTransfer, KeepsAskingWhileDataPacketsArriveAfterTheImageIsWhole) {
  // An image of at most 32 bytes: the updater answers the second request with an empty data
  // packet, and only the third with the end command.
  NormalController device;
  FakeHost host;
  Write(device, host, FirmwareInfo(123, 0x08004000, 20));
  Write(device, host, FirmwareData(PatternImage(20, 1)));
  Write(device, host, FirmwareData({}));
  EXPECT_EQ(host.Take().size(), 3u);
  Write(device, host, kFirmwareEnd);
  EXPECT_TRUE(host.Take().empty());
  EXPECT_TRUE(device.Ended());
  EXPECT_EQ(device.DataRequests(), 3u);
  EXPECT_EQ(device.ReceivedImage().size(), 20u);
}

TEST(NormalTransfer, RecordsBytesBeyondTheLengthAndDataAfterTheEnd) {
  NormalController device;
  FakeHost host;
  Write(device, host, FirmwareInfo(123, 0x08004000, 20));
  Write(device, host, FirmwareData(PatternImage(32, 1)));
  EXPECT_TRUE(device.ReceivedBeyondLength());
  EXPECT_FALSE(device.ExtraDataAfterEnd());
  Write(device, host, kFirmwareEnd);
  Write(device, host, FirmwareData(PatternImage(4, 2)));
  EXPECT_TRUE(device.ExtraDataAfterEnd());
  EXPECT_EQ(device.ReceivedImage().size(), 32u);
}

TEST(NormalController, CountsRecvFailedWithoutAnswering) {
  NormalController device;
  FakeHost host;
  for (int i = 0; i < 5; ++i) Write(device, host, RECV_FAILED);
  EXPECT_TRUE(host.inputs.empty());
  EXPECT_EQ(device.RecvFailed(), 5u);
  EXPECT_EQ(device.MalformedReports(), 0u);
  EXPECT_EQ(device.Outputs().size(), 5u);
}

struct MalformedCase {
  const char* name;
  Bytes payload;
};

class NormalMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(NormalMalformed, IsIgnored) {
  NormalController device;
  FakeHost host;
  Write(device, host, GetParam().payload);
  EXPECT_TRUE(host.inputs.empty());
  EXPECT_EQ(device.MalformedReports(), 1u);
  EXPECT_EQ(device.VersionQueries(), 0u);
  EXPECT_FALSE(device.UpdateRequested());
  EXPECT_FALSE(device.Announced());
}

INSTANTIATE_TEST_SUITE_P(
    Reports, NormalMalformed,
    ::testing::Values(
        MalformedCase{"CountZero", {0x00, 0x00, 0x16, 0x01, 0x00, 0x04}},
        MalformedCase{"CountBelowShortPacket", {0x04, 0x00, 0x16, 0x01, 0x00, 0x04}},
        MalformedCase{"CountBeyondPayload", {0x40, 0x00, 0x16, 0x01, 0x00, 0x04}},
        MalformedCase{"FirstPacketByteNotZero", {0x05, 0x01, 0x16, 0x01, 0x00, 0x04}},
        MalformedCase{"BodyLengthDisagreesWithCount", {0x06, 0x00, 0x16, 0x01, 0x00, 0x04}},
        MalformedCase{"ArgumentLengthDisagrees",
                      {0x09, 0x00, 0x16, 0x05, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00}},
        MalformedCase{"BodyOfTwoBytes", {0x06, 0x00, 0x16, 0x02, 0x00, 0x04, 0x00}},
        MalformedCase{"VersionRequestWithArguments",
                      {0x08, 0x00, 0x16, 0x04, 0x00, 0x04, 0x01, 0x00, 0x00}},
        MalformedCase{"FirmwareInfoShort",
                      {0x0B, 0x00, 0x16, 0x07, 0x00, 0x01, 0x04, 0x00, 0x7B, 0x00, 0x00, 0x00}},
        MalformedCase{"UpdateRequestValueNotZero", {0x05, 0x00, 0x1A, 0x01, 0x00, 0x01}},
        MalformedCase{"UnknownPacketType", {0x05, 0x00, 0x17, 0x01, 0x00, 0x04}},
        MalformedCase{"UnknownCommand", {0x05, 0x00, 0x16, 0x01, 0x00, 0x03}}),
    [](const auto& info) { return std::string(info.param.name); });

// What the controller sends in answer to SET_FIRMWARE_INFO, by fault.
struct FaultCase {
  const char* name;
  NormalFaults faults;
  std::vector<Bytes> reports;  // first six payload bytes of each, in order
  bool detached;
};

class NormalFaultAfterAnnounce : public ::testing::TestWithParam<FaultCase> {};

TEST_P(NormalFaultAfterAnnounce, SendsWhatTheFaultCallsFor) {
  NormalController device({.faults = GetParam().faults});
  FakeHost host;
  Write(device, host, FirmwareInfo(123, 0x08004000, 64));
  EXPECT_EQ(Prefixes(host.inputs, 6), GetParam().reports);
  EXPECT_EQ(host.detached, GetParam().detached);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NormalFaultAfterAnnounce,
    ::testing::Values(FaultCase{"None", {}, {kDataRequest}, false},
                      FaultCase{"FailWith21",
                                {.failAtBlock = 0, .failCode = 21},
                                {{0x05, 0x00, 0x16, 0x01, 0x00, 0x15}},
                                false},
                      FaultCase{"FailWith24",
                                {.failAtBlock = 0, .failCode = 24},
                                {{0x05, 0x00, 0x16, 0x01, 0x00, 0x18}},
                                false},
                      FaultCase{"BadFirstByte",
                                {.badFirstByte = true},
                                {{0x05, 0x01, 0x16, 0x01, 0x00, 0x14}, kDataRequest},
                                false},
                      FaultCase{"UnknownTypes",
                                {.unknownTypes = true},
                                {{0x05, 0x00, 0x30, 0x01, 0x00, 0x14},
                                 {0x05, 0x00, 0x16, 0x01, 0x00, 0x33},
                                 kDataRequest},
                                false},
                      FaultCase{"Detach", {.detachAtBlock = 0}, {}, true},
                      FaultCase{"SilentAfterAnnounce", {.silentAfterAnnounce = true}, {}, false},
                      FaultCase{"Silent", {.silent = true}, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NormalFaults, FailureReplacesTheRequestForTheGivenBlockOnly) {
  NormalController device({.faults = {.failAtBlock = 2, .failCode = 24}});
  FakeHost host;
  std::vector<std::string> events;
  device.SetEventLog([&events](const std::string& line) { events.push_back(line); });
  Write(device, host, FirmwareInfo(123, 0x08004000, 100));
  Write(device, host, FirmwareData(PatternImage(32, 1)));
  Write(device, host, FirmwareData(PatternImage(32, 2)));
  const std::vector<Bytes> reports = host.Take();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(Prefix(reports[1], 6), kDataRequest);
  EXPECT_EQ(Prefix(reports[2], 6), (Bytes{0x05, 0x00, 0x16, 0x01, 0x00, 0x18}));
  EXPECT_EQ(device.DataRequests(), 2u);
  EXPECT_EQ(events.back(), "failure reported");
  // Data that still comes in after the failure is not taken.
  Write(device, host, FirmwareData(PatternImage(32, 3)));
  EXPECT_TRUE(host.inputs.empty());
  EXPECT_EQ(device.ReceivedImage().size(), 64u);
}

TEST(NormalFaults, AnswersAreDelayedByTheConfiguredTime) {
  NormalController device({.faults = {.answerDelayMs = 250, .unknownTypes = true}});
  FakeHost host;
  Write(device, host, kVersionRequest);
  EXPECT_EQ(host.delays, (std::vector<std::uint32_t>{250, 250, 250}));
}

TEST(NormalController, EventLogTellsTheUpdateInOrder) {
  NormalController device;
  FakeHost host;
  std::vector<std::string> events;
  device.SetEventLog([&events](const std::string& line) { events.push_back(line); });
  Write(device, host, kVersionRequest);
  Write(device, host, UPDATE_REQUEST);
  Write(device, host, FirmwareInfo(0x00020105, 0x08004000, 40));
  Write(device, host, FirmwareData(PatternImage(32, 1)));
  Write(device, host, FirmwareData(PatternImage(8, 2)));
  Write(device, host, kFirmwareEnd);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "version asked", "update requested",
                        "image announced: version 0x20105, base 0x08004000, length 40",
                        "block 0: 32 bytes (32/40)", "block 1: 8 bytes (40/40)", "end"}));
}

TEST(NormalController, MayBeObservedWhileTheWorkerWrites) {
  NormalController device;
  std::uint32_t seenInLog = 0;
  // The log runs outside the controller's lock, so it may look at the controller itself.
  device.SetEventLog([&](const std::string&) { seenInLog = device.VersionQueries(); });
  std::thread worker([&device] {
    FakeHost host;
    for (int i = 0; i < 200; ++i) {
      Write(device, host, RECV_FAILED);
      Write(device, host, kVersionRequest);
    }
  });
  std::uint32_t last = 0;
  for (int look = 0; look < 1000; ++look) {
    const std::uint32_t now = device.RecvFailed();
    EXPECT_GE(now, last);
    last = now;
    device.Outputs();
  }
  worker.join();
  EXPECT_EQ(device.RecvFailed(), 200u);
  EXPECT_EQ(device.VersionQueries(), 200u);
  EXPECT_EQ(seenInLog, 200u);
}

}  // namespace
}  // namespace kestro::sim
