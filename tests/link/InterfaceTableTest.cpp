// The device link's rules for interfaces and handles, as the link port and the fake port apply
// them: what a handle can still do after each thing that happens to its interface, where input
// reports go, and what is kept of them.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/link/InterfaceTable.h"

namespace kestro::link {
namespace {

using ReportBytes = InterfaceTable::ReportBytes;

constexpr HidAttributes kNormal{0x3A7C, 0x5750};
constexpr HidAttributes kBoot{0x3A7C, 0x3002};

ReportBytes Numbered(int n) {
  ReportBytes report{};
  report[1] = static_cast<std::uint8_t>(n);
  return report;
}

PortHandle OpenOrFail(InterfaceTable& table, const std::wstring& path, PortAccess access) {
  PortHandle handle = kNoHandle;
  EXPECT_EQ(table.Open(path, access, handle), Outcome::kDone);
  return handle;
}

// The payload numbers a handle reads until nothing is left.
std::vector<int> Drain(InterfaceTable& table, PortHandle handle) {
  std::vector<int> numbers;
  ReportBytes report;
  while (table.Read(handle, report) == Outcome::kDone) numbers.push_back(report[1]);
  return numbers;
}

struct HandleCase {
  const char* name;
  PortAccess access;
  std::function<void(InterfaceTable&, PortHandle)> then;
  Outcome read;  // after one input report from the interface
  Outcome write;
  Outcome attributes;
};

void PrintTo(const HandleCase& c, std::ostream* os) { *os << c.name; }

class HandleTest : public ::testing::TestWithParam<HandleCase> {};

TEST_P(HandleTest, WhatAHandleCanDoFollowsTheAttachItWasOpenedOn) {
  const HandleCase& c = GetParam();
  InterfaceTable table;
  table.Attach(L"pad", kNormal);
  const PortHandle handle = OpenOrFail(table, L"pad", c.access);
  c.then(table, handle);
  table.Input(L"pad", Numbered(1));
  ReportBytes report;
  EXPECT_EQ(table.Read(handle, report), c.read);
  EXPECT_EQ(table.Write(handle), c.write);
  HidAttributes attributes;
  EXPECT_EQ(table.GetAttributes(handle, attributes), c.attributes);
}

const auto kNothing = [](InterfaceTable&, PortHandle) {};
constexpr Outcome kDone = Outcome::kDone;
constexpr Outcome kGone = Outcome::kNotPresent;

INSTANTIATE_TEST_SUITE_P(
    Cases, HandleTest,
    ::testing::Values(
        HandleCase{"read and write", PortAccess::ProbeReadWrite, kNothing, kDone, kDone, kDone},
        HandleCase{"read only", PortAccess::Read, kNothing, kDone, Outcome::kNoAccess, kDone},
        HandleCase{"write only", PortAccess::Write, kNothing, Outcome::kNoAccess, kDone, kDone},
        HandleCase{"closed", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle h) { t.Close(h); }, Outcome::kNoHandle,
                   Outcome::kNoHandle, Outcome::kNoHandle},
        HandleCase{"detached", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) { t.Detach(L"pad"); }, kGone, kGone, kGone},
        HandleCase{"detached and attached again", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) {
                     t.Detach(L"pad");
                     t.Attach(L"pad", kNormal);
                   },
                   kGone, kGone, kGone},
        HandleCase{"replaced by an attach under its id", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) { t.Attach(L"pad", kNormal); }, kGone, kGone,
                   kGone},
        HandleCase{"link gone", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) { t.DetachAll(); }, kGone, kGone, kGone},
        HandleCase{"stalled", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) { t.Flags(L"pad")->stalled = true; }, kDone,
                   Outcome::kStalled, kDone},
        HandleCase{"stalled, then detached", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) {
                     t.Flags(L"pad")->stalled = true;
                     t.Detach(L"pad");
                   },
                   kGone, kGone, kGone},
        HandleCase{"attributes refused", PortAccess::ProbeReadWrite,
                   [](InterfaceTable& t, PortHandle) { t.Flags(L"pad")->noAttr = true; }, kDone,
                   kDone, Outcome::kRefused}));

TEST(InterfaceTableTest, EnumerationListsTheAttachedInterfacesInAttachOrder) {
  InterfaceTable table;
  table.Attach(L"a", kNormal);
  table.Attach(L"b", kNormal);
  table.Attach(L"c", kNormal);
  EXPECT_TRUE(table.Detach(L"b"));
  EXPECT_FALSE(table.Detach(L"b"));
  table.Attach(L"a", kBoot);  // a new device: last in line
  table.Attach(L"b", kNormal);
  EXPECT_EQ(table.Attached(), (std::vector<std::wstring>{L"c", L"a", L"b"}));
}

TEST(InterfaceTableTest, OpeningNeedsAnAttachedInterfaceThatAllowsIt) {
  InterfaceTable table;
  PortHandle handle = kNoHandle;
  EXPECT_EQ(table.Open(L"pad", PortAccess::Read, handle), Outcome::kNotPresent);
  table.Attach(L"pad", kNormal, {.noOpen = true});
  EXPECT_EQ(table.Open(L"pad", PortAccess::Read, handle), Outcome::kRefused);
  EXPECT_EQ(handle, kNoHandle);
  table.Flags(L"pad")->noOpen = false;
  EXPECT_EQ(table.Open(L"pad", PortAccess::Read, handle), Outcome::kDone);
  // Handles are unique in the run: a closed one's number is not given again.
  EXPECT_TRUE(table.Close(handle));
  EXPECT_FALSE(table.Close(handle));
  PortHandle next = kNoHandle;
  ASSERT_EQ(table.Open(L"pad", PortAccess::Read, next), Outcome::kDone);
  EXPECT_GT(next, handle);
  EXPECT_EQ(table.OpenHandles(), 1u);
}

TEST(InterfaceTableTest, ANewAttachUnderAnIdIsANewDeviceWithItsOwnHandles) {
  InterfaceTable table;
  const std::uint64_t first = table.Attach(L"pad", kNormal);
  const PortHandle old = OpenOrFail(table, L"pad", PortAccess::ProbeReadWrite);
  table.Input(L"pad", Numbered(1));
  table.Detach(L"pad");
  const std::uint64_t second = table.Attach(L"pad", kBoot);
  EXPECT_NE(second, first);
  EXPECT_EQ(table.InstanceOf(L"pad"), second);
  const PortHandle fresh = OpenOrFail(table, L"pad", PortAccess::ProbeReadWrite);
  table.Input(L"pad", Numbered(2));

  // The old handle reads neither what was queued before the detach nor the new device.
  ReportBytes report;
  EXPECT_EQ(table.Read(old, report), Outcome::kNotPresent);
  EXPECT_EQ(Drain(table, fresh), std::vector<int>{2});
  HidAttributes attributes;
  ASSERT_EQ(table.GetAttributes(fresh, attributes), Outcome::kDone);
  EXPECT_EQ(attributes.productId, kBoot.productId);
  InterfaceTable::Instance target;
  ASSERT_EQ(table.Write(fresh, &target), Outcome::kDone);
  EXPECT_EQ(target.path, L"pad");
  EXPECT_EQ(target.number, second);
}

TEST(InterfaceTableTest, AnInputReachesEveryReadingHandleOfItsInterfaceAndNoOther) {
  InterfaceTable table;
  table.Attach(L"pad", kNormal);
  table.Attach(L"other", kNormal);
  const PortHandle probe = OpenOrFail(table, L"pad", PortAccess::ProbeReadWrite);
  const PortHandle reader = OpenOrFail(table, L"pad", PortAccess::Read);
  OpenOrFail(table, L"pad", PortAccess::Write);
  const PortHandle other = OpenOrFail(table, L"other", PortAccess::Read);

  EXPECT_EQ(table.Input(L"pad", Numbered(7)), 2u);
  EXPECT_EQ(table.Input(L"gone", Numbered(8)), 0u);
  EXPECT_EQ(Drain(table, probe), std::vector<int>{7});
  EXPECT_EQ(Drain(table, reader), std::vector<int>{7});
  EXPECT_TRUE(Drain(table, other).empty());
}

TEST(InterfaceTableTest, ReportsWithNoReaderAreLostAndAHandleKeepsOnlyTheNewest32) {
  InterfaceTable table;
  table.Attach(L"pad", kNormal);
  EXPECT_EQ(table.Input(L"pad", Numbered(99)), 0u);
  const PortHandle handle = OpenOrFail(table, L"pad", PortAccess::Read);
  for (int n = 0; n < 40; ++n) table.Input(L"pad", Numbered(n));
  std::vector<int> newest;
  for (int n = 8; n < 40; ++n) newest.push_back(n);
  EXPECT_EQ(Drain(table, handle), newest);
  ReportBytes report;
  EXPECT_EQ(table.Read(handle, report), Outcome::kNoReport);
}

TEST(InterfaceTableTest, AReportDueLaterHoldsBackThoseQueuedBehindIt) {
  InterfaceTable table;
  table.Attach(L"pad", kNormal);
  const PortHandle handle = OpenOrFail(table, L"pad", PortAccess::Read);
  table.Input(L"pad", Numbered(1), 100);
  table.Input(L"pad", Numbered(2), 50);
  ReportBytes report;
  EXPECT_EQ(table.Read(handle, report, 99), Outcome::kNoReport);
  InterfaceTable::Time readableAt = 0;
  ASSERT_EQ(table.Read(handle, report, 100, &readableAt), Outcome::kDone);
  EXPECT_EQ(report[1], 1);
  ASSERT_EQ(table.Read(handle, report, 100, &readableAt), Outcome::kDone);
  EXPECT_EQ(report[1], 2);
  EXPECT_EQ(readableAt, 100u);
}

}  // namespace
}  // namespace kestro::link
