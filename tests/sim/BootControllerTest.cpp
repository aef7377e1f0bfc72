#include <gtest/gtest.h>

#include <string>

#include "sim/BootController.h"
#include "sim/Package.h"
#include "tests/sim/FakeHost.h"

namespace kestro::sim {
namespace {

using testing::Bytes;
using testing::FakeHost;
using testing::Prefix;
using testing::Prefixes;
using testing::Write;
using testing::WriteLe16;
using testing::WriteLe32;

constexpr std::uint32_t kBase = 0x08004000;

// A command frame as the updater builds it.
Bytes Frame(std::uint16_t command, std::uint32_t n, std::uint32_t total, std::uint32_t address,
            const Bytes& data = {}) {
  Bytes frame(17);
  frame[0] = 5;
  WriteLe16(frame, 1, command);
  WriteLe32(frame, 5, n);
  WriteLe32(frame, 9, total);
  WriteLe32(frame, 13, address);
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

// Reply bytes 0 to 5: 0, 5, status, code of the command answered.
Bytes ReplyHead(std::uint16_t status, std::uint16_t code) {
  Bytes head = {0x00, 0x05, 0, 0, 0, 0};
  WriteLe16(head, 2, status);
  WriteLe16(head, 4, code);
  return head;
}

struct ReplyCase {
  const char* name;
  BootFaults faults;
  Bytes frame;
  std::vector<Bytes> replies;  // first six bytes of each reply
};

class BootReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(BootReply, HasTheExpectedHead) {
  BootController device({.faults = GetParam().faults});
  FakeHost host;
  Write(device, host, GetParam().frame);
  EXPECT_EQ(Prefixes(host.inputs, 6), GetParam().replies);
}

const Bytes kVersionWord = {0x05, 0x01, 0x02, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Commands, BootReply,
    ::testing::Values(
        ReplyCase{"GetInfo", {}, Frame(0xC0, 44, 44, 0), {ReplyHead(0, 0xC0)}},
        ReplyCase{"GetInfoRepeated", {}, Frame(0xC0, 0, 0, 0), {ReplyHead(0, 0xC0)}},
        ReplyCase{"Start", {}, Frame(4, 0, 100, kBase), {ReplyHead(0, 4)}},
        ReplyCase{"WriteImage", {}, Frame(3, 4, 100, kBase, {1, 2, 3, 4}), {ReplyHead(0, 3)}},
        ReplyCase{"WriteParam", {}, Frame(2, 4, 4, 0x08000034, kVersionWord), {ReplyHead(0, 2)}},
        ReplyCase{"Finish", {}, Frame(7, 0, 0, 0), {ReplyHead(0, 7)}},
        ReplyCase{"UnknownCommand", {}, Frame(9, 0, 0, 0), {}},
        ReplyCase{"WrongCode", {.wrongCodeFor = 4}, Frame(4, 0, 100, kBase), {ReplyHead(0, 5)}},
        ReplyCase{"WrongStatus", {.wrongStatusFor = 7}, Frame(7, 0, 0, 0), {ReplyHead(1, 7)}},
        ReplyCase{"Silent", {.silentTo = 0xC0}, Frame(0xC0, 44, 44, 0), {}},
        ReplyCase{"SilentToAnotherCommand", {.silentTo = 3}, Frame(7, 0, 0, 0), {ReplyHead(0, 7)}},
        ReplyCase{"Busy", {.busyForMs = 1000}, Frame(4, 0, 100, kBase), {ReplyHead(16, 4)}},
        ReplyCase{"BusyForAnotherCommand",
                  {.busyForMs = 1000, .busyAnswersForOtherCommand = 3},
                  Frame(4, 0, 100, kBase),
                  {ReplyHead(16, 3)}}),
    [](const auto& info) { return std::string(info.param.name); });

struct MalformedCase {
  const char* name;
  Bytes frame;
};

class BootMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(BootMalformed, IsNeitherAnsweredNorRecorded) {
  BootController device;
  FakeHost host;
  Write(device, host, GetParam().frame);
  EXPECT_TRUE(host.inputs.empty());
  EXPECT_TRUE(device.Frames().empty());
  EXPECT_EQ(device.MalformedFrames(), 1u);
  EXPECT_TRUE(device.Flash().empty());
}

Bytes WithByte(Bytes frame, std::size_t at, std::uint8_t value) {
  frame[at] = value;
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BootMalformed,
    ::testing::Values(MalformedCase{"MarkerNot5", WithByte(Frame(7, 0, 0, 0), 0, 4)},
                      MalformedCase{"ReservedNotZero", WithByte(Frame(7, 0, 0, 0), 3, 1)},
                      MalformedCase{"DataLengthAbove46",
                                    Frame(3, 47, 100, kBase, Bytes(46, 0xAA))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BootController, InfoReplyCarriesModelVariantAndVersionAtByte18) {
  BootConfig config;
  config.modelId = 0x0102;
  config.variant = 3;
  config.version = 0x00020096;
  BootController device(config);
  FakeHost host;
  Write(device, host, Frame(0xC0, 44, 44, 0));
  ASSERT_EQ(host.inputs.size(), 1u);
  Bytes expected(kPayloadSize);
  expected[1] = 5;
  expected[4] = 0xC0;
  const Bytes info = {0x02, 0x01, 0x03, 0x00, 0x96, 0x00, 0x02, 0x00};
  std::copy(info.begin(), info.end(), expected.begin() + 18);
  EXPECT_EQ(host.inputs[0], expected);
}

TEST(BootController, StaysBusyUntilTheConfiguredTimeAfterTheFirstStart) {
  BootController device({.faults = {.busyForMs = 1000}});
  FakeHost host;
  const Bytes start = Frame(4, 0, 100, kBase);
  host.now = 5000;
  Write(device, host, start);
  host.now = 5999;
  Write(device, host, start);
  EXPECT_FALSE(device.Started());
  host.now = 6000;
  Write(device, host, start);
  const std::vector<Bytes> replies = host.Take();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(Prefix(replies[0], 6), ReplyHead(16, 4));
  EXPECT_EQ(Prefix(replies[1], 6), ReplyHead(16, 4));
  EXPECT_EQ(Prefix(replies[2], 6), ReplyHead(0, 4));
  EXPECT_TRUE(device.Started());
}

// Writes `image` at kBase in blocks of 46 the way the updater does, sending a block again while
// it is not acknowledged.
void WriteImage(BootController& device, FakeHost& host, const Bytes& image) {
  std::size_t offset = 0;
  for (int guard = 0; offset < image.size() && guard < 100; ++guard) {
    const std::size_t n = std::min<std::size_t>(46, image.size() - offset);
    const Bytes block(image.begin() + offset, image.begin() + offset + n);
    Write(device, host,
          Frame(3, static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(image.size()),
                static_cast<std::uint32_t>(kBase + offset), block));
    const std::vector<Bytes> replies = host.Take();
    if (!replies.empty() && Prefix(replies[0], 6) == ReplyHead(0, 3)) offset += n;
  }
}

TEST(BootController, ResentBlockAfterALostAcknowledgementLeavesTheFlashUnchanged) {
  BootController device({.faults = {.lostAckBlock = 1}});
  FakeHost host;
  const Bytes image = PatternImage(138, 5);
  Write(device, host, Frame(4, 0, 138, kBase));
  host.Take();
  WriteImage(device, host, image);
  EXPECT_EQ(device.FlashRange(kBase, 138), image);
  EXPECT_FALSE(device.FlashRewrittenDifferently());
  EXPECT_EQ(device.BytesBeyondRange(), 0u);
  const std::vector<BootFrame> frames = device.Frames();
  ASSERT_EQ(frames.size(), 5u);  // start, blocks 0, 1, 1 again, 2
  EXPECT_EQ(frames[2].address, kBase + 46);
  EXPECT_EQ(frames[3].address, kBase + 46);
  EXPECT_EQ(frames[3].data, frames[2].data);
}

TEST(BootController, NoticesAWriteThatChangesWrittenBytes) {
  BootController device;
  FakeHost host;
  Write(device, host, Frame(4, 0, 8, kBase));
  Write(device, host, Frame(3, 4, 8, kBase, {1, 2, 3, 4}));
  Write(device, host, Frame(3, 4, 8, kBase, {1, 2, 3, 4}));
  EXPECT_FALSE(device.FlashRewrittenDifferently());
  Write(device, host, Frame(3, 4, 8, kBase + 2, {3, 9, 5, 6}));
  EXPECT_TRUE(device.FlashRewrittenDifferently());
  EXPECT_EQ(device.FlashRange(kBase, 8), (Bytes{1, 2, 3, 9, 5, 6, 0xFF, 0xFF}));
}

TEST(BootController, CountsImageBytesOutsideTheAnnouncedRange) {
  BootController device;
  FakeHost host;
  Write(device, host, Frame(4, 0, 50, kBase));
  Write(device, host, Frame(3, 46, 50, kBase, PatternImage(46, 1)));
  Write(device, host, Frame(3, 46, 50, kBase + 46, PatternImage(46, 2)));
  Write(device, host, Frame(3, 2, 50, kBase - 2, {7, 7}));
  EXPECT_EQ(device.BytesBeyondRange(), 42u + 2u);
}

TEST(BootController, KeepsTheVersionWordApartFromTheImage) {
  BootController device;
  FakeHost host;
  EXPECT_FALSE(device.VersionWord().has_value());
  Write(device, host, Frame(2, 4, 4, 0x08000034, {0x05, 0x01, 0x02, 0x00}));
  Write(device, host, Frame(7, 0, 0, 0));
  EXPECT_EQ(device.VersionWord(), 0x00020105u);
  EXPECT_TRUE(device.Flash().empty());
  EXPECT_TRUE(device.Finished());
}

TEST(BootController, DetachesInsteadOfWritingTheGivenBlock) {
  BootController device({.faults = {.detachAtBlock = 1}});
  FakeHost host;
  Write(device, host, Frame(4, 0, 92, kBase));
  Write(device, host, Frame(3, 46, 92, kBase, PatternImage(46, 1)));
  EXPECT_FALSE(host.detached);
  Write(device, host, Frame(3, 46, 92, kBase + 46, PatternImage(46, 2)));
  EXPECT_TRUE(host.detached);
  EXPECT_EQ(device.Flash().size(), 46u);
  host.Take();
  Write(device, host, Frame(7, 0, 0, 0));
  EXPECT_TRUE(host.inputs.empty());
}

}  // namespace
}  // namespace kestro::sim
