// kestro-replay import over captures that the tests write themselves, as usbmon and USBPcap write
// them: pcap files with libpcap, pcapng files by hand (libpcap cannot write those).
#include <gtest/gtest.h>
#include <linux/usb/ch9.h>
#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <tuple>

#include "hid/Hid.h"
#include "platform/record/Recording.h"
#include "tests/tools/ToolDir.h"
#include "tools/replay/ImportCommand.h"

namespace kestro::replay {
namespace {

using tools::test::Bytes;
using Kind = record::Event::Kind;

enum class End { kOk, kFailed, kGone, kCancelled };
struct Device {
  std::uint16_t bus, address;
};
constexpr Device kController{1, 7}, kOther{1, 3}, kSecond{1, 9};
constexpr std::uint64_t kEpochUs = 1'700'000'000'000'000;

// The code recorded for a failed transfer: an errno from usbmon, a USBD_STATUS from USBPcap.
std::uint32_t FailureCode(int link) { return link == DLT_USBPCAP ? 0xC0000011u : EPROTO; }

void Put(Bytes& to, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class Capture {
 public:
  explicit Capture(int link) : m_link(link) {}

  // A transfer submitted and completed at these times; the data travels with the submission of
  // an OUT transfer and with the completion of an IN one.
  void Transfer(Device device, std::uint8_t endpoint, std::uint8_t type, std::uint64_t submitted,
                std::uint64_t completed, End end, const Bytes& data, const Bytes& setup = {}) {
    const bool in = endpoint & USB_DIR_IN;
    Add(submitted, device, endpoint, type, false, End::kOk, setup, in ? Bytes() : data,
        data.size());
    Add(completed, device, endpoint, type, true, end, {}, in ? data : Bytes(), data.size());
    ++m_request;
  }
  void Descriptor(Device device, std::uint64_t t, HidAttributes ids) {
    Bytes descriptor = {USB_DT_DEVICE_SIZE, USB_DT_DEVICE, 0, 2, 0, 0, 0, 64};
    Put(descriptor, ids.vendorId, 2);
    Put(descriptor, ids.productId, 2);
    descriptor.resize(USB_DT_DEVICE_SIZE);
    Transfer(device, USB_DIR_IN, URB_CONTROL, t, t + 125, End::kOk, descriptor,
             {USB_DIR_IN, USB_REQ_GET_DESCRIPTOR, 0, USB_DT_DEVICE, 0, 0, USB_DT_DEVICE_SIZE, 0});
  }

  void Write(const std::string& path, bool pcapng) {
    std::stable_sort(m_packets.begin(), m_packets.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    pcapng ? WritePcapng(path, m_link, m_packets) : WritePcap(path, m_link, m_packets);
  }

  using Packets = std::vector<std::pair<std::uint64_t, Bytes>>;
  static void WritePcap(const std::string& path, int link, const Packets& packets) {
    pcap_t* dead = pcap_open_dead(link, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (const auto& [time, bytes] : packets) {
      pcap_pkthdr header{
          {static_cast<time_t>(time / 1000000), static_cast<suseconds_t>(time % 1000000)},
          static_cast<bpf_u_int32>(bytes.size()),
          static_cast<bpf_u_int32>(bytes.size())};
      pcap_dump(reinterpret_cast<u_char*>(dumper), &header, bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
  }
  // A section header block, an interface description block (microsecond times by default), and
  // an enhanced packet block each.
  static void WritePcapng(const std::string& path, int link, const Packets& packets) {
    Bytes file;
    const auto block = [&](std::uint32_t type, Bytes body) {
      body.resize((body.size() + 3) / 4 * 4);
      Put(file, type, 4);
      Put(file, 12 + body.size(), 4);
      file.insert(file.end(), body.begin(), body.end());
      Put(file, 12 + body.size(), 4);
    };
    Bytes section;
    Put(section, 0x1A2B3C4D, 4);  // byte-order magic
    Put(section, 1, 4);           // version 1.0
    Put(section, ~0ull, 8);       // section length unknown
    block(0x0A0D0D0A, section);
    Bytes interface;
    Put(interface, link, 4);
    Put(interface, 0, 4);
    block(1, interface);
    for (const auto& [time, bytes] : packets) {
      Bytes enhanced;
      const std::uint64_t fields[] = {0, time >> 32, time & 0xFFFFFFFF, bytes.size(), bytes.size()};
      for (const std::uint64_t field : fields) Put(enhanced, field, 4);
      enhanced.insert(enhanced.end(), bytes.begin(), bytes.end());
      block(6, enhanced);
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
  }

 private:
  void Add(std::uint64_t t, Device device, std::uint8_t endpoint, std::uint8_t type,
           bool completion, End end, const Bytes& setup, const Bytes& data, std::size_t length) {
    Bytes packet;
    if (m_link == DLT_USBPCAP) {
      static constexpr std::uint32_t kStatus[] = {0, 0xC0000011, 0xC0007000, 0xC0010000};
      const bool control = type == URB_CONTROL;
      const Bytes& payload = setup.empty() ? data : setup;
      Put(packet, control ? 28 : 27, 2);
      Put(packet, m_request, 8);
      Put(packet, completion ? kStatus[static_cast<int>(end)] : 0, 4);
      Put(packet, control ? 0x0B : 0x09, 2);  // URB function
      Put(packet, completion, 1);
      Put(packet, device.bus, 2);
      Put(packet, device.address, 2);
      Put(packet, endpoint, 1);
      Put(packet, type, 1);
      Put(packet, payload.size(), 4);
      if (control) Put(packet, completion ? 3 : 0, 1);  // the COMPLETE stage, or SETUP
      packet.insert(packet.end(), payload.begin(), payload.end());
    } else {
      static constexpr int kStatus[] = {0, -EPROTO, -ESHUTDOWN, -ENOENT};
      pcap_usb_header_mmapped h{};
      h.id = m_request;
      h.event_type = completion ? URB_COMPLETE : URB_SUBMIT;
      h.transfer_type = type;
      h.endpoint_number = endpoint;
      h.device_address = static_cast<std::uint8_t>(device.address);
      h.bus_id = device.bus;
      h.setup_flag = setup.empty() ? '-' : 0;
      h.data_flag = data.empty() ? (completion ? '>' : '<') : 0;
      h.ts_sec = static_cast<std::int64_t>(t / 1000000);
      h.ts_usec = static_cast<std::int32_t>(t % 1000000);
      h.status = completion ? kStatus[static_cast<int>(end)] : -EINPROGRESS;
      h.urb_len = static_cast<std::uint32_t>(length);
      h.data_len = static_cast<std::uint32_t>(data.size());
      std::copy(setup.begin(), setup.end(), reinterpret_cast<std::uint8_t*>(&h.s.setup));
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&h);
      packet.assign(bytes, bytes + (m_link == DLT_USB_LINUX ? sizeof(pcap_usb_header) : sizeof h));
      packet.insert(packet.end(), data.begin(), data.end());
    }
    m_packets.emplace_back(t, std::move(packet));
  }

  int m_link;
  Packets m_packets;
  std::uint64_t m_request = 0xFFFF888012340000;  // like a kernel address
};

Bytes Report(std::uint8_t seed, bool withReportId) {
  Bytes report(withReportId ? 1 : 0, 0);
  for (int i = 0; i < 64; ++i) report.push_back(static_cast<std::uint8_t>(seed + i * 3));
  return report;
}

// A session's steps, each at the time the capture tells of it: an OUT report when it is handed
// over, anything else when its transfer completes.
enum class Step { kOut, kIn, kReadFails, kWriteFails, kUnplugged, kClosed };
struct StepShape {
  std::uint8_t endpoint;
  std::uint64_t submittedBefore, completedAfter;
  End end;
  Kind kind;  // kTimeout: no line (the host cancels a pending read when it closes the device)
};
constexpr StepShape kShapes[] = {{0x01, 0, 125, End::kOk, Kind::kOut},
                                 {0x81, 400, 0, End::kOk, Kind::kIn},
                                 {0x81, 400, 0, End::kFailed, Kind::kReadFailed},
                                 {0x01, 125, 0, End::kFailed, Kind::kWriteFailed},
                                 {0x81, 400, 0, End::kGone, Kind::kRemoved},
                                 {0x81, 400, 0, End::kCancelled, Kind::kTimeout}};

struct Session {
  const char* name;
  HidAttributes ids;
  std::vector<std::pair<Step, std::uint64_t>> steps;
  bool otherDevice;     // a HID device at 1.3 with 64-byte reports too, described first
  const char* skipped;  // the summary's end
};

// Writes the session into `capture` and gives the lines its recording should have.
std::vector<std::string> AddSession(Capture& capture, const Session& session, int link,
                                    bool withReportId, bool descriptors = true) {
  const std::string mode = session.ids.productId == kProductBoot ? "boot" : "normal";
  std::vector<std::string> lines = {
      record::HeaderLine({"kestro-replay import",
                          {"usb:1.7", session.ids.vendorId, session.ids.productId, mode},
                          std::nullopt})};
  if (descriptors && session.otherDevice) capture.Descriptor(kOther, kEpochUs, {0x1209, 1});
  if (descriptors) capture.Descriptor(kController, kEpochUs + 1000, session.ids);
  std::uint8_t seed = 0;
  for (const auto& [step, at] : session.steps) {
    const StepShape& shape = kShapes[static_cast<int>(step)];
    const std::uint64_t t = kEpochUs + at;
    const Bytes report = Report(seed += 11, withReportId);
    const bool carries = shape.end == End::kOk || !(shape.endpoint & USB_DIR_IN);
    capture.Transfer(kController, shape.endpoint, URB_INTERRUPT, t - shape.submittedBefore,
                     t + shape.completedAfter, shape.end, carries ? report : Bytes());
    if (step == Step::kUnplugged) {  // a write in flight ends with the device too
      capture.Transfer(kController, 0x01, URB_INTERRUPT, t - 20, t + 30, End::kGone, report);
    }
    if (session.otherDevice) {
      capture.Transfer(kOther, 0x81, URB_INTERRUPT, t - 300, t + 37, End::kOk, report);
    }
    if (shape.kind == Kind::kTimeout) continue;
    record::Event event;
    event.kind = shape.kind;
    event.t = at - session.steps.front().second;
    if (shape.end == End::kOk) std::copy(report.end() - 64, report.end(), event.report.begin());
    if (shape.end == End::kFailed) event.code = FailureCode(link);
    lines.push_back(record::EventLine(event));
  }
  return lines;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line + "\n");
  return lines;
}

int Import(tools::Arguments args, std::ostream&, std::ostream& err) { return RunImport(args, err); }

const Session kExchange{"NormalModeExchange",
                        {kVendorKestro, kProductNormal},
                        {{Step::kOut, 5000},
                         {Step::kIn, 5600},
                         {Step::kOut, 6000},
                         {Step::kIn, 6900},
                         {Step::kClosed, 9000}},
                        false,
                        "skipped 4 packets: 2 control, 2 cancelled"};
const Session kBootFailures{"BootModeFailuresAndUnplug",
                            {kVendorKestro, kProductBoot},
                            {{Step::kOut, 2000},
                             {Step::kIn, 2500},
                             {Step::kReadFails, 3000},
                             {Step::kWriteFails, 3500},
                             {Step::kUnplugged, 4000}},
                            false,
                            "skipped 4 packets: 2 control, 2 after removal"};
const Session kBesideOther{
    "StVendorBesideAnotherDevice",
    {kVendorSt, kProductNormal},
    {{Step::kOut, 4000}, {Step::kIn, 4700}, {Step::kOut, 5200}, {Step::kIn, 5900}},
    true,
    "skipped 12 packets: 10 other devices, 2 control"};

using SessionCase =
    std::tuple<Session, int /* link type */, bool /* pcapng */, bool /* report id */>;
class KnownSession : public tools::test::ToolDirWith<SessionCase> {};

TEST_P(KnownSession, BecomesItsRecordingLineByLine) {
  const auto& [session, link, pcapng, withReportId] = GetParam();
  Capture capture(link);
  const std::vector<std::string> expected = AddSession(capture, session, link, withReportId);
  capture.Write(Path("capture"), pcapng);
  const tools::test::CommandRun run = Run(Import, "{dir}/capture {dir}/out.jsonl");
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(Lines(Path("out.jsonl")), expected);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_TRUE(run.err.ends_with(std::string(session.skipped) + "\n")) << run.err;
}

std::string SessionCaseName(const ::testing::TestParamInfo<SessionCase>& info) {
  const auto& [session, link, pcapng, withReportId] = info.param;
  return std::string(session.name) + "_" + pcap_datalink_val_to_name(link) +
         (pcapng ? "_pcapng" : "_pcap") + (withReportId ? "_ReportId" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Captures, KnownSession,
    ::testing::Combine(::testing::Values(kExchange, kBootFailures, kBesideOther),
                       ::testing::Values(DLT_USB_LINUX, DLT_USB_LINUX_MMAPPED, DLT_USBPCAP),
                       ::testing::Bool(), ::testing::Bool()),
    SessionCaseName);

// Which device the recording is of, and captures and command lines that make none.
struct CommandCase {
  const char* name;
  std::function<void(const std::string& path)> write;
  std::string options;
  int status;
  std::string says;         // a piece of standard error
  std::string header = {};  // a piece of the recording's first line
};
void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class Command : public tools::test::ToolDirWith<CommandCase> {};

TEST_P(Command, ChoosesTheControllerOrSaysWhyNotInOneLine) {
  const CommandCase& c = GetParam();
  c.write(Path("capture"));
  const tools::test::CommandRun run = Run(Import, c.options + " {dir}/capture {dir}/out.jsonl");
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  if (c.status != kExitUsage) {
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  }
  if (c.status == kExitOk) {
    EXPECT_NE(Lines(Path("out.jsonl")).at(0).find(c.header), std::string::npos);
  } else {
    EXPECT_EQ(Names(), std::set<std::string>{"capture"});
  }
}

// The exchange; with `second`, a boot-mode controller at 1.9 described before it; cut short by
// `cutBy` bytes.
std::function<void(const std::string&)> Written(int link, bool pcapng, bool descriptors = true,
                                                bool second = false, std::size_t cutBy = 0) {
  return [=](const std::string& path) {
    Capture capture(link);
    if (second) {
      capture.Descriptor(kSecond, kEpochUs + 100, {kVendorKestro, kProductBoot});
      capture.Transfer(kSecond, 0x81, URB_INTERRUPT, kEpochUs, kEpochUs + 6100, End::kOk,
                       Report(1, false));
    }
    AddSession(capture, kExchange, link, false, descriptors);
    capture.Write(path, pcapng);
    if (cutBy != 0) std::filesystem::resize_file(path, std::filesystem::file_size(path) - cutBy);
  };
}
const auto kMouseOnly = [](const std::string& path) {
  Capture capture(DLT_USBPCAP);
  capture.Descriptor(kOther, kEpochUs, {0x046d, 0xc077});
  capture.Transfer(kOther, 0x81, URB_INTERRUPT, kEpochUs, kEpochUs + 900, End::kOk, Bytes(4));
  capture.Write(path, true);
};
constexpr int kMon = DLT_USB_LINUX_MMAPPED;
const std::string kNormal17 =
    R"("path":"usb:1.7","vendorId":"3a7c","productId":"5750","mode":"normal")";

INSTANTIATE_TEST_SUITE_P(
    Devices, Command,
    ::testing::Values(
        CommandCase{"NamedWithoutDescriptor", Written(kMon, false, false), "--device 1.7", kExitOk,
                    "; skipped 2 packets: 2 cancelled\n", kNormal17},
        CommandCase{"NamedWithIdentity", Written(kMon, false, false), "--device 1.7 --id 3a7c:3002",
                    kExitOk, "(boot mode)", R"("productId":"3002","mode":"boot")"},
        CommandCase{"DescriptorOverIdentity", Written(kMon, false), "--id 0483:5750 --device 1.7",
                    kExitOk, "(normal mode)", kNormal17},
        CommandCase{"FirstDescribed", Written(kMon, false, true, true), "", kExitOk,
                    "; skipped 14 packets: 12 other controllers, 2 control\n",
                    R"("path":"usb:1.9","vendorId":"3a7c","productId":"3002","mode":"boot")"},
        CommandCase{"NamedAmongTwo", Written(kMon, false, true, true), "--device 1.7", kExitOk,
                    ": 4 other controllers, 2 control, 2 cancelled\n", kNormal17},
        CommandCase{"EmptyFile", [](const auto& p) { std::ofstream{p}; }, "", kExitCapture,
                    "capture: the file is empty\n"},
        CommandCase{"NotACapture", [](const auto& p) { std::ofstream{p} << "{\"t\":0}\n"; }, "",
                    kExitCapture, "capture: unknown file format\n"},
        CommandCase{"PcapCutInAPacket", Written(DLT_USBPCAP, false, true, false, 10), "",
                    kExitCapture, "capture: truncated dump file"},
        CommandCase{"PcapngCutInABlock", Written(DLT_USB_LINUX, true, true, false, 10), "",
                    kExitCapture, "capture: truncated pcapng dump file"},
        CommandCase{"Ethernet",
                    [](const auto& p) {
                      Capture::WritePcap(p, DLT_EN10MB, {{kEpochUs, Bytes(60)}});
                    },
                    "", kExitCapture, "capture: link type 1 (EN10MB) is not a USB capture"},
        CommandCase{"NoController", kMouseOnly, "", kExitCapture,
                    "no supported controller among the 1 devices the capture describes"},
        CommandCase{"NoDescriptor", Written(kMon, true, false), "", kExitCapture,
                    "no device descriptor; name the controller with --device BUS.ADDR\n"},
        CommandCase{"NamedDeviceIsNoController", kMouseOnly, "--device 1.3", kExitCapture,
                    "device 1.3 is 046d:c077, not a supported controller\n"},
        CommandCase{"NamedDeviceAbsent", Written(kMon, false), "--device 1.9", kExitCapture,
                    "the capture holds no traffic of device 1.9\n"},
        CommandCase{"DeviceNotBusDotAddress", Written(kMon, false), "--device 17", kExitUsage,
                    "not BUS.ADDR"},
        CommandCase{"UnsupportedIdentity", Written(kMon, false), "--device 1.7 --id 0483:3002",
                    kExitUsage, "not one of"},
        CommandCase{"IdentityWithoutDevice", Written(kMon, false), "--id 3a7c:5750", kExitUsage,
                    "--id goes with --device"},
        CommandCase{"UnknownOption", Written(kMon, false), "--all", kExitUsage,
                    "unknown option --all"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::replay
