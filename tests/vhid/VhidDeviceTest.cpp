// The driver's device logic: hidclass's one pending read, the inputs waiting for it, removal,
// and when everything handed over has been taken.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <vector>

#include "vhid/VhidDevice.h"

namespace {

using Payload = std::array<std::uint8_t, VHID_PAYLOAD_BYTES>;

Payload Numbered(std::uint8_t n) {
  Payload payload{};
  payload.fill(static_cast<std::uint8_t>(0xA0 ^ n));
  payload[0] = n;
  return payload;
}

class VhidDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { VhidDevice_Init(&m_device, 7, 0x3A7C, 0x5750); }

  // Reads what is queued, in order, without leaving a read pending.
  std::vector<std::uint8_t> DrainFirstBytes() {
    std::vector<std::uint8_t> firsts;
    while (m_device.queueCount > 0) {
      Payload out{};
      EXPECT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_NOW);
      firsts.push_back(out[0]);
    }
    return firsts;
  }

  VhidDevice m_device;
};

TEST_F(VhidDeviceTest, AReadWithNothingQueuedWaitsAndTheNextInputCompletesIt) {
  Payload out{};
  EXPECT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_PENDS);
  EXPECT_NE(VhidDevice_Settled(&m_device), 0);
  const Payload in = Numbered(1);
  EXPECT_EQ(VhidDevice_Input(&m_device, in.data()), VHID_INPUT_TO_READ);
  // The input went to the read: nothing is queued, and no read is pending any more.
  EXPECT_EQ(m_device.queueCount, 0u);
  EXPECT_EQ(m_device.readPending, 0);
  EXPECT_EQ(VhidDevice_Settled(&m_device), 0);
}

TEST_F(VhidDeviceTest, InputsBetweenReadsAreReadOldestFirst) {
  for (std::uint8_t n = 1; n <= 3; ++n) {
    const Payload in = Numbered(n);
    EXPECT_EQ(VhidDevice_Input(&m_device, in.data()), VHID_INPUT_QUEUED);
  }
  Payload out{};
  ASSERT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_NOW);
  EXPECT_EQ(out, Numbered(1));
  EXPECT_EQ(DrainFirstBytes(), (std::vector<std::uint8_t>{2, 3}));
}

struct OverflowCase {
  int inputs;
  std::uint8_t oldestKept;
  std::uint32_t dropped;
};

void PrintTo(const OverflowCase& c, std::ostream* os) { *os << c.inputs << " inputs"; }

class VhidDeviceOverflowTest : public VhidDeviceTest,
                               public ::testing::WithParamInterface<OverflowCase> {};

TEST_P(VhidDeviceOverflowTest, ABurstKeepsTheNewestInputsInOrder) {
  const OverflowCase& c = GetParam();
  for (int n = 0; n < c.inputs; ++n) {
    const Payload in = Numbered(static_cast<std::uint8_t>(n));
    VhidDevice_Input(&m_device, in.data());
  }
  const std::vector<std::uint8_t> firsts = DrainFirstBytes();
  ASSERT_EQ(firsts.size(),
            static_cast<std::size_t>(std::min(c.inputs, int{VHID_INPUT_QUEUE_LIMIT})));
  EXPECT_EQ(firsts.front(), c.oldestKept);
  EXPECT_EQ(firsts.back(), static_cast<std::uint8_t>(c.inputs - 1));
  for (std::size_t i = 1; i < firsts.size(); ++i) EXPECT_EQ(firsts[i], firsts[i - 1] + 1);
  EXPECT_EQ(m_device.droppedInputs, c.dropped);
}

INSTANTIATE_TEST_SUITE_P(Bursts, VhidDeviceOverflowTest,
                         ::testing::Values(OverflowCase{1, 0, 0},
                                           OverflowCase{VHID_INPUT_QUEUE_LIMIT, 0, 0},
                                           OverflowCase{VHID_INPUT_QUEUE_LIMIT + 1, 1, 1},
                                           OverflowCase{VHID_INPUT_QUEUE_LIMIT + 10, 10, 10}));

TEST_F(VhidDeviceTest, AnInputGivenToACancelledReadIsReadNextAheadOfLaterOnes) {
  Payload out{};
  ASSERT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_PENDS);
  const Payload first = Numbered(1);
  ASSERT_EQ(VhidDevice_Input(&m_device, first.data()), VHID_INPUT_TO_READ);
  const Payload second = Numbered(2);
  ASSERT_EQ(VhidDevice_Input(&m_device, second.data()), VHID_INPUT_QUEUED);
  // The read was being cancelled when the first input was given to it.
  VhidDevice_ReadWithdrawn(&m_device, first.data());
  EXPECT_EQ(DrainFirstBytes(), (std::vector<std::uint8_t>{1, 2}));
}

TEST_F(VhidDeviceTest, RemovalFailsThePendingReadAndEverythingAfter) {
  Payload out{};
  ASSERT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_PENDS);
  EXPECT_EQ(VhidDevice_Remove(&m_device), 1);
  EXPECT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_FAILS);
  const Payload in = Numbered(4);
  EXPECT_EQ(VhidDevice_Input(&m_device, in.data()), VHID_INPUT_REFUSED);
  EXPECT_NE(VhidDevice_Settled(&m_device), 0);
  // A second removal request (surprise removal, then removal) has no read left to fail.
  EXPECT_EQ(VhidDevice_Remove(&m_device), 0);
}

// A write goes out until the device stops taking them; once it is going away, it is refused,
// stalled or not. Reads and inputs are not touched by a stall.
TEST_F(VhidDeviceTest, WritesAreTakenThenHeldOnceStalledAndRefusedOnceRemoved) {
  EXPECT_EQ(VhidDevice_Write(&m_device), VHID_WRITE_TAKEN);
  VhidDevice_Stall(&m_device);
  EXPECT_EQ(VhidDevice_Write(&m_device), VHID_WRITE_HELD);
  const Payload in = Numbered(5);
  Payload out{};
  EXPECT_EQ(VhidDevice_Input(&m_device, in.data()), VHID_INPUT_QUEUED);
  EXPECT_EQ(VhidDevice_Read(&m_device, out.data()), VHID_READ_NOW);
  VhidDevice_Remove(&m_device);
  EXPECT_EQ(VhidDevice_Write(&m_device), VHID_WRITE_REFUSED);
}

struct SettledCase {
  const char* state;
  bool readFirst;
  int inputs;
  bool removed;
  bool settled;
};

void PrintTo(const SettledCase& c, std::ostream* os) { *os << c.state; }

class VhidDeviceSettledTest : public ::testing::TestWithParam<SettledCase> {};

TEST_P(VhidDeviceSettledTest, SettledOnlyWhenHidclassWaitsWithNothingLeft) {
  const SettledCase& c = GetParam();
  VhidDevice device;
  VhidDevice_Init(&device, 1, 0, 0);
  Payload out{};
  if (c.readFirst) VhidDevice_Read(&device, out.data());
  for (int n = 0; n < c.inputs; ++n) {
    const Payload in = Numbered(static_cast<std::uint8_t>(n));
    VhidDevice_Input(&device, in.data());
  }
  if (c.removed) VhidDevice_Remove(&device);
  EXPECT_EQ(VhidDevice_Settled(&device) != 0, c.settled) << c.state;
}

INSTANTIATE_TEST_SUITE_P(
    States, VhidDeviceSettledTest,
    ::testing::Values(SettledCase{"never read", false, 0, false, false},
                      SettledCase{"read waits, nothing queued", true, 0, false, true},
                      SettledCase{"one input taken, hidclass not back yet", true, 1, false, false},
                      SettledCase{"inputs queued", false, 2, false, false},
                      SettledCase{"removed with inputs queued", false, 2, true, true}));

TEST(VhidDeviceListTest, FindsPresentDevicesBySerialAndSkipsRemovedOnes) {
  VhidDevice first;
  VhidDevice second;
  VhidDevice_Init(&first, 1, 0x3A7C, 0x5750);
  VhidDevice_Init(&second, 2, 0x3A7C, 0x5750);
  VhidDeviceList list{nullptr};
  VhidDeviceList_Add(&list, &first);
  VhidDeviceList_Add(&list, &second);
  EXPECT_EQ(VhidDeviceList_Find(&list, 2), &second);
  EXPECT_EQ(VhidDeviceList_Find(&list, 3), nullptr);
  VhidDevice_Remove(&first);
  EXPECT_EQ(VhidDeviceList_Find(&list, 1), nullptr);
  VhidDeviceList_Unlink(&list, &first);
  EXPECT_EQ(list.first, &second);
  EXPECT_EQ(second.next, nullptr);
}

TEST(VhidDeviceListTest, SettledWhenEveryDeviceIs) {
  VhidDevice waiting;
  VhidDevice busy;
  VhidDevice_Init(&waiting, 1, 0, 0);
  VhidDevice_Init(&busy, 2, 0, 0);
  VhidDeviceList list{nullptr};
  EXPECT_NE(VhidDeviceList_Settled(&list), 0);
  Payload out{};
  VhidDevice_Read(&waiting, out.data());
  VhidDeviceList_Add(&list, &waiting);
  EXPECT_NE(VhidDeviceList_Settled(&list), 0);
  VhidDeviceList_Add(&list, &busy);  // added, but hidclass has not read from it yet
  EXPECT_EQ(VhidDeviceList_Settled(&list), 0);
  VhidDeviceList_Unlink(&list, &busy);
  EXPECT_NE(VhidDeviceList_Settled(&list), 0);
}

}  // namespace
