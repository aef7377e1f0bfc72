// The output reports waiting for the bridge, across all devices.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "vhid/VhidOutputQueue.h"

namespace {

VhidOutputRecord Record(std::uint32_t serial, std::uint8_t mark) {
  VhidOutputRecord record{};
  record.serial = serial;
  record.report[1] = mark;
  return record;
}

TEST(VhidOutputQueueTest, ReportsOfAllDevicesLeaveInTheOrderTheyWereWritten) {
  static VhidOutputQueue queue;  // large: not on the stack
  VhidOutputQueue_Clear(&queue);
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> written = {{1, 10}, {2, 20}, {1, 11}};
  for (const auto& [serial, mark] : written) {
    const VhidOutputRecord record = Record(serial, mark);
    ASSERT_TRUE(VhidOutputQueue_Push(&queue, &record));
  }
  for (const auto& [serial, mark] : written) {
    VhidOutputRecord taken{};
    ASSERT_TRUE(VhidOutputQueue_Pop(&queue, &taken));
    EXPECT_EQ(taken.serial, serial);
    EXPECT_EQ(taken.report[1], mark);
  }
  VhidOutputRecord none{};
  EXPECT_FALSE(VhidOutputQueue_Pop(&queue, &none));
}

TEST(VhidOutputQueueTest, AFullQueueRefusesRatherThanDropsAndKeepsItsOrderAcrossTheWrap) {
  static VhidOutputQueue queue;
  VhidOutputQueue_Clear(&queue);
  // Start part-way round, so that the full queue wraps.
  for (int i = 0; i < 5; ++i) {
    const VhidOutputRecord record = Record(9, 0);
    VhidOutputQueue_Push(&queue, &record);
    VhidOutputRecord taken{};
    VhidOutputQueue_Pop(&queue, &taken);
  }
  for (std::uint32_t n = 0; n < VHID_OUTPUT_QUEUE_LIMIT; ++n) {
    const VhidOutputRecord record = Record(n, 0);
    ASSERT_TRUE(VhidOutputQueue_Push(&queue, &record));
  }
  const VhidOutputRecord extra = Record(99999, 0);
  EXPECT_FALSE(VhidOutputQueue_Push(&queue, &extra));
  for (std::uint32_t n = 0; n < VHID_OUTPUT_QUEUE_LIMIT; ++n) {
    VhidOutputRecord taken{};
    ASSERT_TRUE(VhidOutputQueue_Pop(&queue, &taken));
    ASSERT_EQ(taken.serial, n);
  }
  // A queue that still holds a report, so that clearing has something to drop.
  const VhidOutputRecord left = Record(7, 0);
  ASSERT_TRUE(VhidOutputQueue_Push(&queue, &left));
  VhidOutputQueue_Clear(&queue);
  EXPECT_EQ(queue.count, 0u);
  VhidOutputRecord none{};
  EXPECT_FALSE(VhidOutputQueue_Pop(&queue, &none));
}

}  // namespace
