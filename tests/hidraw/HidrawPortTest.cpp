// The hidraw port against emulated nodes, in this process: what udev lists, what a node says it
// is, reports in and out, time-outs, a node that goes away, aborting, hotplug, and nodes the user
// may not open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "hid/Hid.h"
#include "platform/hidraw/HidrawPort.h"
#include "sim/BootController.h"
#include "tests/hidraw/ChildProcess.h"
#include "tests/hidraw/HidrawTestbed.h"
#include "tests/hidraw/RowName.h"
#include "vhid/VhidReport.h"

namespace kestro::hidraw::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint16_t kOtherVendor = 0x046D;  // a mouse: a HID device that is no controller
constexpr std::uint16_t kOtherProduct = 0xC077;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A report whose bytes all depend on the seed.
void Fill(sim::Payload& payload, std::uint8_t seed) {
  for (std::size_t i = 0; i < sizeof payload; ++i) {
    payload[i] = static_cast<std::uint8_t>(seed + 7 * i);
  }
}

class HidrawPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bed.Ready()) << "run this test under umockdev-wrapper"; }

  std::shared_ptr<EmulatedNode> PlugNode(std::uint16_t vendor = kVendorKestro,
                                         std::uint16_t product = kProductNormal) {
    auto plugged = bed.Plug(DeviceToPlug{vendor, product, nullptr, IdentitySource::kHidId});
    EXPECT_NE(plugged, nullptr);
    return plugged;
  }
  OwnedHandle Open(const EmulatedNode& on, PortAccess access) {
    const std::wstring path(on.Place().devnode.begin(), on.Place().devnode.end());
    return OwnedHandle(port, port.Open(path, access));
  }
  // What the node says it is, asked as CHid's search asks it.
  std::optional<HidAttributes> AttributesOf(const EmulatedNode& on) {
    OwnedHandle probe = Open(on, PortAccess::ProbeReadWrite);
    HidAttributes attributes;
    if (!probe.IsOpen() || !port.GetAttributes(probe.Get(), attributes)) return std::nullopt;
    return attributes;
  }
  // A controller's node, opened for reading and for writing as an update opens it.
  void PlugAndOpen() {
    node = PlugNode();
    ASSERT_NE(node, nullptr);
    reader = Open(*node, PortAccess::Read);
    writer = Open(*node, PortAccess::Write);
    ASSERT_TRUE(reader.IsOpen() && writer.IsOpen());
  }

  HidrawTestbed bed;
  HidrawPort port;
  std::shared_ptr<EmulatedNode> node;
  OwnedHandle reader;
  OwnedHandle writer;
};

TEST_F(HidrawPortTest, ListsEveryNodeUdevHasInItsOrder) {
  PlugNode(kVendorKestro, kProductNormal);
  auto second = PlugNode(kOtherVendor, kOtherProduct);
  PlugNode(kVendorKestro, kProductBoot);
  EXPECT_EQ(port.EnumerateInterfaces(),
            (std::vector<std::wstring>{L"/dev/hidraw0", L"/dev/hidraw1", L"/dev/hidraw2"}));

  bed.Unplug(*second);
  EXPECT_EQ(port.EnumerateInterfaces(),
            (std::vector<std::wstring>{L"/dev/hidraw0", L"/dev/hidraw2"}));

  // Plugged in again, it is a new node that answers.
  auto again = PlugNode(kOtherVendor, kOtherProduct);
  EXPECT_EQ(port.EnumerateInterfaces(),
            (std::vector<std::wstring>{L"/dev/hidraw0", L"/dev/hidraw2", L"/dev/hidraw3"}));
  const auto attributes = AttributesOf(*again);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->productId, kOtherProduct);
}

struct IdentityCase {
  const char* name;
  std::uint16_t vendor;
  std::uint16_t product;
};

class IdentityTest : public HidrawPortTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityTest, NodeTellsItsVendorAndProduct) {
  const auto attributes = AttributesOf(*PlugNode(GetParam().vendor, GetParam().product));
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->vendorId, GetParam().vendor);
  EXPECT_EQ(attributes->productId, GetParam().product);
}

const IdentityCase kIdentities[] = {{"Normal", kVendorKestro, kProductNormal},
                                    {"Boot", kVendorKestro, kProductBoot},
                                    {"StNormal", kVendorSt, kProductNormal},
                                    {"Mouse", kOtherVendor, kOtherProduct}};
INSTANTIATE_TEST_SUITE_P(Identities, IdentityTest, ::testing::ValuesIn(kIdentities), RowName());

// What the node answers the requests Wine's HID bus and other hidraw readers make, as the kernel's
// hidraw driver answers them for the first controller plugged in.
struct RequestCase {
  const char* name;
  unsigned long request;
  bool gone;  // asked after the unplug
  int result;
  int error;             // when the result is -1
  std::string answered;  // the first bytes of the caller's buffer afterwards
};

class RequestTest : public HidrawPortTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTest, NodeAnswersAsTheKernelsHidrawDriver) {
  const RequestCase& c = GetParam();
  auto plugged = PlugNode();
  const int fd = open(plugged->Place().devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  if (c.gone) bed.Unplug(*plugged);
  // A caller that asked for the descriptor's size first.
  hidraw_report_descriptor buffer{};
  buffer.size = static_cast<__u32>(kVhidReportDescriptorBytes);
  errno = 0;
  EXPECT_EQ(ioctl(fd, c.request, &buffer), c.result);
  EXPECT_EQ(errno, c.result < 0 ? c.error : 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer), c.answered.size()), c.answered);
  close(fd);
}

std::string DescriptorAnswer() {
  const std::uint32_t size = kVhidReportDescriptorBytes;
  return std::string(reinterpret_cast<const char*>(&size), sizeof size) +
         std::string(reinterpret_cast<const char*>(kVhidReportDescriptor), size);
}

const RequestCase kRequests[] = {
    {"Name", HIDIOCGRAWNAME(64), false, 14, 0, std::string("HID 3a7c:5750\0", 14)},
    {"NameCutShort", HIDIOCGRAWNAME(4), false, 4, 0, "HID "},  // no room for the NUL
    {"Phys", HIDIOCGRAWPHYS(64), false, 26, 0, std::string("usb-0000:00:14.0-1/input0\0", 26)},
    {"Uniq", HIDIOCGRAWUNIQ(64), false, 7, 0, std::string("KT1000\0", 7)},
    {"DescriptorSize", HIDIOCGRDESCSIZE, false, 0, 0, DescriptorAnswer().substr(0, 4)},
    {"Descriptor", HIDIOCGRDESC, false, 0, 0, DescriptorAnswer()},
    {"FeatureReport", HIDIOCGFEATURE(65), false, -1, EPIPE, ""},  // the controller has none
    {"EvdevProbe", EVIOCGBIT(EV_KEY, 96), false, -1, EINVAL, ""},
    {"UnknownHidrawRequest", _IOC(_IOC_READ, 'H', 0x30, 4), false, -1, ENOTTY, ""},
    {"NodeGone", HIDIOCGRAWINFO, true, -1, ENODEV, ""}};
INSTANTIATE_TEST_SUITE_P(Requests, RequestTest, ::testing::ValuesIn(kRequests), RowName());

struct AccessCase {
  const char* name;
  PortAccess access;
  int mode;  // O_RDWR, O_WRONLY or O_RDONLY
};

class AccessTest : public HidrawPortTest, public ::testing::WithParamInterface<AccessCase> {};

// A handle asks for no more than its job needs, and is never inherited by a program we start.
TEST_P(AccessTest, HandleHasItsAccessAndClosesOnExec) {
  OwnedHandle handle = Open(*PlugNode(), GetParam().access);
  ASSERT_TRUE(handle.IsOpen());
  const int fd = static_cast<int>(handle.Get());
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, GetParam().mode);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

const AccessCase kAccesses[] = {{"Probe", PortAccess::ProbeReadWrite, O_RDWR},
                                {"Write", PortAccess::Write, O_WRONLY},
                                {"Read", PortAccess::Read, O_RDONLY}};
INSTANTIATE_TEST_SUITE_P(Accesses, AccessTest, ::testing::ValuesIn(kAccesses), RowName());

TEST_F(HidrawPortTest, EachReportArrivesWholeAsOneWrite) {
  ASSERT_NO_FATAL_FAILURE(PlugAndOpen());
  std::vector<std::vector<std::uint8_t>> sent;
  for (std::uint8_t seed : {1, 2, 3}) {
    Report report;
    report[0] = 0;
    for (std::size_t i = 1; i < kReportSize; ++i) report[i] = static_cast<std::uint8_t>(seed * i);
    ASSERT_TRUE(port.Write(writer.Get(), report, kWriteTimeoutMs));
    sent.emplace_back(report, report + kReportSize);
  }
  std::vector<std::vector<std::uint8_t>> arrived;
  for (const WrittenReport& write : node->Writes()) arrived.push_back(write.bytes);
  EXPECT_EQ(arrived, sent);
}

struct QueueCase {
  const char* name;
  int sent;      // reports the controller sends before the first read
  int readable;  // what the reader gets of them: the oldest, up to the ring's 63
};

class QueueTest : public HidrawPortTest, public ::testing::WithParamInterface<QueueCase> {};

TEST_P(QueueTest, EachReadTakesOneReportBehindReportIdZeroOldestFirst) {
  const QueueCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(PlugAndOpen());
  sim::Payload payload;
  for (int i = 0; i < c.sent; ++i) {
    Fill(payload, static_cast<std::uint8_t>(i + 1));
    node->QueueReport(payload);
  }
  for (int i = 0; i < c.readable; ++i) {
    Fill(payload, static_cast<std::uint8_t>(i + 1));
    Report report;
    std::memset(report, 0xEE, sizeof report);
    ASSERT_EQ(port.Read(reader.Get(), report, 1000), kWaitReceived) << "report " << i;
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(std::memcmp(report + 1, payload, kPayloadSize), 0) << "report " << i;
  }
  Report report;
  EXPECT_EQ(port.Read(reader.Get(), report, 50), kWaitTimeout);
}

const QueueCase kQueues[] = {{"Three", 3, 3}, {"MoreThanTheRingHolds", 70, 63}};
INSTANTIATE_TEST_SUITE_P(Queues, QueueTest, ::testing::ValuesIn(kQueues), RowName());

// What one read returns, by what the node holds when it starts.
struct ReadCase {
  const char* name;
  int queued;             // reports waiting
  bool wakeWithout;       // poll wakes the read without a report
  bool gone;              // the node unplugged before the read
  std::uint32_t laterMs;  // a report arrives this long after the read began (0: none)
  std::uint32_t timeoutMs;
  std::uint32_t expected;
};

class ReadOutcomeTest : public HidrawPortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadOutcomeTest, ReadEndsAsTheNodeDecides) {
  const ReadCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(PlugAndOpen());
  sim::Payload payload;
  Fill(payload, 1);
  for (int i = 0; i < c.queued; ++i) node->QueueReport(payload);
  if (c.wakeWithout) node->WakeWithoutReport();
  if (c.gone) bed.Unplug(*node);
  if (c.laterMs != 0) {
    bed.Loop().Post([n = node, payload] { n->QueueReport(payload); }, c.laterMs);
  }
  const Clock::time_point start = Clock::now();
  Report report;
  EXPECT_EQ(port.Read(reader.Get(), report, c.timeoutMs), c.expected);
  // A read that times out has waited its whole time-out.
  if (c.expected == kWaitTimeout) {
    EXPECT_GE(Since(start), milliseconds(c.timeoutMs));
  }
}

const ReadCase kReads[] = {{"ReportWaiting", 1, false, false, 0, 200, kWaitReceived},
                           {"ReportComesDuringTheWait", 0, false, false, 150, 5000, kWaitReceived},
                           {"NothingComes", 0, false, false, 0, 200, kWaitTimeout},
                           {"ReportTooLate", 0, false, false, 600, 200, kWaitTimeout},
                           {"WokenWithoutAReport", 0, true, false, 0, 200, kWaitTimeout},
                           {"WokenThenAReport", 0, true, false, 150, 5000, kWaitReceived},
                           {"NodeGone", 0, false, true, 0, 200, kWaitReadFailed},
                           {"ReportsOfANodeGone", 2, false, true, 0, 200, kWaitReadFailed}};
INSTANTIATE_TEST_SUITE_P(Reads, ReadOutcomeTest, ::testing::ValuesIn(kReads), RowName());

TEST_F(HidrawPortTest, UnplugWakesAPendingReadAsAFailure) {
  ASSERT_NO_FATAL_FAILURE(PlugAndOpen());
  bed.UnplugAfter(node, 150);
  const Clock::time_point start = Clock::now();
  Report report{};
  EXPECT_EQ(port.Read(reader.Get(), report, 10000), kWaitReadFailed);
  // Woken by the unplug, long before its own time-out.
  EXPECT_LT(Since(start), milliseconds(5000));

  EXPECT_FALSE(port.Write(writer.Get(), report, kWriteTimeoutMs));
  EXPECT_TRUE(node->Writes().empty());
  EXPECT_FALSE(Open(*node, PortAccess::ProbeReadWrite).IsOpen());
  EXPECT_EQ(port.LastError(), static_cast<std::uint32_t>(ENOENT));
}

// --- aborting: what a signal handler does to reads and writes

HidrawPort* g_abortedBySignal = nullptr;

void OnSignal(int) {
  if (g_abortedBySignal != nullptr) g_abortedBySignal->Abort();
}

struct AbortCase {
  const char* name;
  bool abortFirst;    // Abort() before the read
  bool signalDuring;  // a signal comes 100 ms into the read
  bool signalAborts;  // ... and its handler aborts
  std::uint32_t expected;
};

class AbortTest : public HidrawPortTest, public ::testing::WithParamInterface<AbortCase> {
 protected:
  void SetUp() override {
    HidrawPortTest::SetUp();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the signal interrupts the port's poll
    sigaction(SIGUSR1, &action, &m_previous);
  }
  void TearDown() override {
    sigaction(SIGUSR1, &m_previous, nullptr);
    g_abortedBySignal = nullptr;
  }
  struct sigaction m_previous {};
};

// The report comes 400 ms into the read: a read that goes on after the signal takes it.
TEST_P(AbortTest, SignalInterruptsAReadOnlyWhenItAborts) {
  const AbortCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(PlugAndOpen());
  g_abortedBySignal = c.signalAborts ? &port : nullptr;
  if (c.abortFirst) port.Abort();
  const pthread_t reading = pthread_self();
  if (c.signalDuring) bed.Loop().Post([reading] { pthread_kill(reading, SIGUSR1); }, 100);
  sim::Payload payload;
  Fill(payload, 9);
  bed.Loop().Post([n = node, payload] { n->QueueReport(payload); }, 400);

  Report report{};
  EXPECT_EQ(port.Read(reader.Get(), report, 5000), c.expected);
  const bool aborted = c.abortFirst || c.signalAborts;
  EXPECT_EQ(port.Write(writer.Get(), report, kWriteTimeoutMs), !aborted);
  EXPECT_EQ(node->Writes().size(), aborted ? 0u : 1u);
}

const AbortCase kAborts[] = {{"NoSignal", false, false, false, kWaitReceived},
                             {"SignalThatDoesNotAbort", false, true, false, kWaitReceived},
                             {"SignalThatAborts", false, true, true, kWaitReadFailed},
                             {"AbortedBefore", true, false, false, kWaitReadFailed}};
INSTANTIATE_TEST_SUITE_P(Aborts, AbortTest, ::testing::ValuesIn(kAborts), RowName());

// --- hotplug

enum class Event { kPlug, kUnplug, kUnplugKeepingTheTerminal, kChange, kNothing };

struct MonitorCase {
  const char* name;
  Event event;
  bool expected;
};

class MonitorTest : public HidrawPortTest, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(MonitorTest, MonitorReportsAddAndRemoveOnly) {
  const MonitorCase& c = GetParam();
  auto present = PlugNode();
  HidrawMonitor monitor;
  ASSERT_TRUE(monitor.Ready());
  switch (c.event) {
    case Event::kPlug:
      PlugNode(kVendorKestro, kProductBoot);
      break;
    case Event::kUnplugKeepingTheTerminal:
      bed.SetRemoval(Removal::kKeepTerminal);  // as for a Wine session
      bed.Unplug(*present);
      break;
    case Event::kUnplug:
      bed.Unplug(*present);
      break;
    case Event::kChange:
      bed.SendUevent(*present, "change");
      break;
    case Event::kNothing:
      break;
  }
  EXPECT_EQ(monitor.WaitForChange(c.expected ? 5000 : 300), c.expected);
}

const MonitorCase kEvents[] = {{"Plug", Event::kPlug, true},
                               {"Unplug", Event::kUnplug, true},
                               {"UnplugKeepingTheTerminal", Event::kUnplugKeepingTheTerminal, true},
                               {"Change", Event::kChange, false},
                               {"Nothing", Event::kNothing, false}};
INSTANTIATE_TEST_SUITE_P(Events, MonitorTest, ::testing::ValuesIn(kEvents), RowName());

// --- CHid's search over this port

TEST_F(HidrawPortTest, ControllerIsFoundAmongOtherHidDevices) {
  PlugNode(kOtherVendor, kOtherProduct);
  bed.Plug(std::make_shared<sim::BootController>());
  CHid hid(port);
  ASSERT_EQ(hid.FindDevice(), 1);
  EXPECT_EQ(hid.DevicePath(), L"/dev/hidraw1");
  EXPECT_EQ(DeviceKind.load(), kDeviceKindBoot);
  EXPECT_EQ(hid.OpenDevice(), 1);
}

// --- nodes the user may not open

struct DeniedCase {
  const char* name;
  IdentitySource identity;
};

class DeniedNodesTest : public HidrawPortTest, public ::testing::WithParamInterface<DeniedCase> {};

// Run as a user the refused node does not let in (as root, file modes refuse nothing): the
// refused node is listed with the identity udev gives it, the node that opened is not.
TEST_P(DeniedNodesTest, RefusedNodeIsListedWithItsUdevIdentity) {
  auto open = PlugNode(kOtherVendor, kOtherProduct);
  auto refused = bed.Plug(DeviceToPlug{kVendorKestro, kProductBoot, nullptr, GetParam().identity});
  ASSERT_TRUE(open && refused);
  ASSERT_TRUE(open->SetAccessMode(0666));
  ASSERT_TRUE(refused->SetAccessMode(0));
  bed.OpenToAllUsers();

  Invocation probe;
  probe.argv = {HIDRAW_PROBE_PROGRAM};
  probe.unprivileged = true;
  const Completion run = RunChild(probe);
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{"opened /dev/hidraw0",
                                      "refused /dev/hidraw1 " + std::to_string(EACCES),
                                      "denied /dev/hidraw1 3a7c:3002"}))
      << run.err;
  EXPECT_EQ(run.err, "");
}

const DeniedCase kDenials[] = {{"FromHidId", IdentitySource::kHidId},
                               {"FromUsbDevice", IdentitySource::kUsbDevice}};
INSTANTIATE_TEST_SUITE_P(Identities, DeniedNodesTest, ::testing::ValuesIn(kDenials), RowName());

}  // namespace
}  // namespace kestro::hidraw::testing
