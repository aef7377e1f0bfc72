// The shipped HID port's reads and writes against a named pipe, under Wine: the overlapped I/O, the
// waits, the cancellation and what each outcome hands back. The pipe has no buffer, so a write
// completes only when the far end reads, as an output report does only when the controller takes
// it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/HidPort.h"
#include "platform/win32/PlatformPort.h"

namespace kestro {
namespace {

constexpr DWORD kFarEndBoundMs = 5000;  // no far-end operation of a test waits longer

std::vector<std::uint8_t> Pattern(std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(kReportSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

// The controller's side: the server end of a pipe without buffers, every operation bounded.
class FarEnd {
 public:
  FarEnd() {
    static int count = 0;
    m_path = L"\\\\.\\pipe\\kestro-port-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++count);
    m_pipe = CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
  }
  ~FarEnd() { Close(); }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool Ready() const { return m_pipe != INVALID_HANDLE_VALUE; }
  const std::wstring& Path() const { return m_path; }
  void Close() {
    if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
    m_pipe = INVALID_HANDLE_VALUE;
  }

  // The bytes of one report sent by the port, or nothing within the bound.
  std::vector<std::uint8_t> Receive() {
    std::vector<std::uint8_t> bytes(kReportSize);
    DWORD done = Transfer(
        [&](OVERLAPPED* o) { return ReadFile(m_pipe, bytes.data(), kReportSize, nullptr, o); });
    bytes.resize(done);
    return bytes;
  }
  bool Send(const std::vector<std::uint8_t>& bytes) {
    return Transfer([&](OVERLAPPED* o) {
             return WriteFile(m_pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, o);
           }) == bytes.size();
  }

 private:
  template <typename Start>
  DWORD Transfer(Start start) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    if (start(&overlapped) || GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped.hEvent, kFarEndBoundMs) != WAIT_OBJECT_0) {
        // The buffer must outlive the operation, so the cancellation is awaited; a cancelled
        // pipe operation completes at once.
        CancelIo(m_pipe);
      }
      if (!GetOverlappedResult(m_pipe, &overlapped, &done, TRUE)) done = 0;
    }
    CloseHandle(overlapped.hEvent);
    return done;
  }

  std::wstring m_path;
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
};

class Win32PortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_far.Ready()) << "no named pipe: " << GetLastError(); }
  void TearDown() override {
    if (m_handle != kNoHandle) m_port->Close(m_handle);
  }
  PortHandle OpenPort(PortAccess access) {
    m_handle = m_port->Open(m_far.Path(), access);
    return m_handle;
  }

  std::unique_ptr<HidPort> m_port = CreatePlatformHidPort();
  FarEnd m_far;
  PortHandle m_handle = kNoHandle;
};

TEST_F(Win32PortTest, AMissingPathCannotBeOpened) {
  EXPECT_EQ(m_port->Open(L"\\\\.\\pipe\\kestro-port-test-none", PortAccess::Read), kNoHandle);
}

// --- reads ---

enum class FarEndDoes { Nothing, SendsAtOnce, SendsDuringTheWait, HasClosed };

struct ReadCase {
  const char* name;
  FarEndDoes farEnd;
  std::uint32_t timeoutMs;
  std::uint32_t expected;
};

class Win32PortReadTest : public Win32PortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(Win32PortReadTest, HandsBackAReportOnlyWhenOneCame) {
  const ReadCase& c = GetParam();
  ASSERT_NE(OpenPort(PortAccess::Read), kNoHandle);
  const std::vector<std::uint8_t> sent = Pattern(3);
  std::future<bool> farEnd;
  if (c.farEnd == FarEndDoes::HasClosed) m_far.Close();
  if (c.farEnd == FarEndDoes::SendsAtOnce || c.farEnd == FarEndDoes::SendsDuringTheWait) {
    const bool delay = c.farEnd == FarEndDoes::SendsDuringTheWait;
    farEnd = std::async(std::launch::async, [&, delay] {
      if (delay) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return m_far.Send(sent);
    });
  }

  Report report;
  std::fill(std::begin(report), std::end(report), 0xAA);
  const std::uint32_t result = m_port->Read(m_handle, report, c.timeoutMs);

  EXPECT_EQ(result, c.expected);
  const std::vector<std::uint8_t> got(std::begin(report), std::end(report));
  if (c.expected == kWaitReceived) {
    EXPECT_EQ(got, sent);
  } else {
    EXPECT_EQ(got, std::vector<std::uint8_t>(kReportSize, 0xAA)) << "destination was touched";
  }
  if (farEnd.valid()) {
    EXPECT_TRUE(farEnd.get());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Win32PortReadTest,
    ::testing::Values(ReadCase{"silent", FarEndDoes::Nothing, 50, kWaitTimeout},
                      ReadCase{"report_ready", FarEndDoes::SendsAtOnce, 3000, kWaitReceived},
                      ReadCase{"report_during_wait", FarEndDoes::SendsDuringTheWait, 3000,
                               kWaitReceived},
                      ReadCase{"gone", FarEndDoes::HasClosed, 3000, kWaitReadFailed}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(Win32PortTest, ATimedOutReadLeavesNothingPendingForTheNextOne) {
  ASSERT_NE(OpenPort(PortAccess::Read), kNoHandle);
  Report report{};
  ASSERT_EQ(m_port->Read(m_handle, report, 20), kWaitTimeout);
  const std::vector<std::uint8_t> sent = Pattern(9);
  auto farEnd = std::async(std::launch::async, [&] { return m_far.Send(sent); });
  ASSERT_EQ(m_port->Read(m_handle, report, 3000), kWaitReceived);
  EXPECT_EQ(std::vector<std::uint8_t>(std::begin(report), std::end(report)), sent);
  EXPECT_TRUE(farEnd.get());
}

// --- writes ---

TEST_F(Win32PortTest, AWriteTheFarEndTakesArrivesWhole) {
  ASSERT_NE(OpenPort(PortAccess::Write), kNoHandle);
  auto farEnd = std::async(std::launch::async, [&] { return m_far.Receive(); });
  const std::vector<std::uint8_t> sent = Pattern(5);
  Report report;
  std::copy(sent.begin(), sent.end(), report);
  EXPECT_TRUE(m_port->Write(m_handle, report, 3000));
  EXPECT_EQ(farEnd.get(), sent);
}

TEST_F(Win32PortTest, AWriteNobodyTakesEndsAtItsBoundAsAFailure) {
  ASSERT_NE(OpenPort(PortAccess::Write), kNoHandle);
  Report report{};
  EXPECT_FALSE(m_port->Write(m_handle, report, 100));
  // The port is still usable afterwards: the next report goes through.
  auto farEnd = std::async(std::launch::async, [&] { return m_far.Receive(); });
  const std::vector<std::uint8_t> sent = Pattern(1);
  std::copy(sent.begin(), sent.end(), report);
  EXPECT_TRUE(m_port->Write(m_handle, report, 3000));
  EXPECT_EQ(farEnd.get(), sent);
}

TEST_F(Win32PortTest, AWriteToAGoneFarEndFails) {
  ASSERT_NE(OpenPort(PortAccess::Write), kNoHandle);
  m_far.Close();
  Report report{};
  EXPECT_FALSE(m_port->Write(m_handle, report, 3000));
}

// --- without a usable hid.dll ---

// A system folder without the DLL, or one whose DLL lacks the functions the port needs: the port
// finds no controller and refuses each call, and nothing calls through a missing function.
struct LibraryCase {
  const char* name;
  const wchar_t* library;
};

class Win32PortWithoutHidTest : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(Win32PortWithoutHidTest, FindsNoControllerAndRefusesEachCall) {
  std::unique_ptr<HidPort> port = win32::CreateHidPortOver(GetParam().library);
  EXPECT_TRUE(port->EnumerateInterfaces().empty());
  EXPECT_EQ(port->RegisterNotifications(nullptr), nullptr);
  FarEnd farEnd;
  const PortHandle handle = port->Open(farEnd.Path(), PortAccess::ProbeReadWrite);
  ASSERT_NE(handle, kNoHandle);
  HidAttributes attributes{};
  EXPECT_FALSE(port->GetAttributes(handle, attributes));
  port->Close(handle);
}

INSTANTIATE_TEST_SUITE_P(Libraries, Win32PortWithoutHidTest,
                         ::testing::Values(LibraryCase{"absent", L"kestro-no-such-library.dll"},
                                           LibraryCase{"without_hid_functions", L"kernel32.dll"}),
                         [](const ::testing::TestParamInfo<LibraryCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kestro
