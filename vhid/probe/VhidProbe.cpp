// vhid-probe.exe: looks at HID devices the way the updater does (SetupAPI walk, HidD_GetAttributes,
// CreateFileW, overlapped ReadFile/WriteFile, RegisterDeviceNotificationW) and prints what it saw
// as key=value lines, for the tests of the virtual controller under Wine.
//
//   list                          every HID interface: path, vid, pid, product string
//   watch MS                      device notifications a window receives during MS milliseconds
//   echo VID PID N [INDEX]        N writes, each answered by one input report: round-trip times
//   hold VID PID MS [INDEX]       one pending read for up to MS, then one write on that handle
//   open PATH                     opens an interface path for reading and writing
//   flood VID PID MS [INDEX]      opens, writes one report, waits MS, opens again, then reads
//                                 what each handle has queued
//   titles                        the titles of the visible top-level windows
//
// VID and PID are hex; INDEX picks among matching devices in enumeration order (default 0).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReportBytes = 65;

struct Found {
  std::wstring path;
  USHORT vendorId = 0;
  USHORT productId = 0;
  bool attributesRead = false;
  std::wstring product;
};

// ASCII for the key=value output; spaces become '_' so that a value stays one word.
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c == L' ' ? '_' : c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::vector<Found> Enumerate() {
  std::vector<Found> found;
  GUID hidClass;
  HidD_GetHidGuid(&hidClass);
  HDEVINFO set =
      SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data)) break;
    std::vector<DWORD> buffer(512);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, buffer.size() * sizeof(DWORD),
                                          nullptr, nullptr)) {
      continue;
    }
    Found device;
    device.path = detail->DevicePath;
    HANDLE handle = CreateFileW(device.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof(attributes);
      if (HidD_GetAttributes(handle, &attributes)) {
        device.vendorId = attributes.VendorID;
        device.productId = attributes.ProductID;
        device.attributesRead = true;
      }
      wchar_t product[128] = {};
      if (HidD_GetProductString(handle, product, sizeof(product))) device.product = product;
      CloseHandle(handle);
    }
    found.push_back(device);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool Pick(const char* vid, const char* pid, const char* index, std::wstring& path) {
  const unsigned long wantVid = std::strtoul(vid, nullptr, 16);
  const unsigned long wantPid = std::strtoul(pid, nullptr, 16);
  long skip = index ? std::strtol(index, nullptr, 10) : 0;
  for (const Found& device : Enumerate()) {
    if (device.attributesRead && device.vendorId == wantVid && device.productId == wantPid &&
        skip-- == 0) {
      path = device.path;
      return true;
    }
  }
  std::printf("error=no device %s:%s\n", vid, pid);
  return false;
}

HANDLE OpenOverlapped(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// The INDEXth device with this identity, opened as the updater opens it; says why not.
HANDLE OpenPicked(const char* vid, const char* pid, const char* index, std::wstring& path) {
  if (!Pick(vid, pid, index, path)) return INVALID_HANDLE_VALUE;
  HANDLE handle = OpenOverlapped(path);
  if (handle == INVALID_HANDLE_VALUE) std::printf("error=open failed %lu\n", GetLastError());
  return handle;
}

// Reads one report within timeoutMs: 1 read, 0 time-out (the read is cancelled), -1 failure.
int ReadReport(HANDLE handle, BYTE (&report)[kReportBytes], DWORD timeoutMs, DWORD& error) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD transferred = 0;
  int result = -1;
  error = 0;
  if (!ReadFile(handle, report, kReportBytes, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    error = GetLastError();
  } else if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    CancelIo(handle);
    result = GetOverlappedResult(handle, &overlapped, &transferred, TRUE) ? 1 : 0;
  } else if (GetOverlappedResult(handle, &overlapped, &transferred, FALSE)) {
    result = 1;
  } else {
    error = GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  return result;
}

bool WriteReport(HANDLE handle, const BYTE (&report)[kReportBytes], DWORD& written) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  written = 0;
  bool ok = WriteFile(handle, report, kReportBytes, nullptr, &overlapped) ||
            GetLastError() == ERROR_IO_PENDING;
  if (ok) {
    if (WaitForSingleObject(overlapped.hEvent, 5000) != WAIT_OBJECT_0) CancelIo(handle);
    ok = GetOverlappedResult(handle, &overlapped, &written, TRUE) != FALSE;
  }
  CloseHandle(overlapped.hEvent);
  return ok;
}

int List() {
  for (const Found& device : Enumerate()) {
    if (device.attributesRead) {
      std::printf("device=%s vid=%04x pid=%04x product=%s\n", Narrow(device.path).c_str(),
                  device.vendorId, device.productId, Narrow(device.product).c_str());
    } else {
      std::printf("device=%s attributes=unreadable\n", Narrow(device.path).c_str());
    }
  }
  return 0;
}

LRESULT CALLBACK WatchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    static const auto start = Clock::now();
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const char* name = wParam == DBT_DEVICEARRIVAL          ? "arrival"
                       : wParam == DBT_DEVICEREMOVECOMPLETE ? "removecomplete"
                       : wParam == DBT_DEVNODES_CHANGED     ? "devnodes"
                                                            : "other";
    std::string path;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      path = Narrow(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name);
    }
    std::printf("event=%s ms=%lld wparam=0x%llx path=%s\n", name, ms,
                static_cast<unsigned long long>(wParam), path.c_str());
    std::fflush(stdout);
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int Watch(DWORD ms) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WatchProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"VhidProbeWatch";
  RegisterClassW(&windowClass);
  // A top-level (hidden) window, like the updater's dialog: Windows broadcasts to those.
  HWND window = CreateWindowW(L"VhidProbeWatch", L"vhid-probe", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10,
                              nullptr, nullptr, windowClass.hInstance, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  HDEVNOTIFY notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  std::printf("watching=%s\n", notify ? "yes" : "no");
  std::fflush(stdout);
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    MsgWaitForMultipleObjects(
        0, nullptr, FALSE, static_cast<DWORD>(std::max<long long>(left.count(), 0)), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  if (notify) UnregisterDeviceNotification(notify);
  DestroyWindow(window);
  return 0;
}

int Echo(const char* vid, const char* pid, int count, const char* index) {
  std::wstring path;
  HANDLE handle = OpenPicked(vid, pid, index, path);
  if (handle == INVALID_HANDLE_VALUE) return 1;
  std::vector<double> micros;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    BYTE out[kReportBytes] = {};
    for (DWORD b = 1; b < kReportBytes; ++b) out[b] = static_cast<BYTE>(i + b);
    DWORD written = 0;
    const auto start = Clock::now();
    if (!WriteReport(handle, out, written)) {
      std::printf("error=write failed %lu\n", GetLastError());
      ++failures;
      break;
    }
    BYTE in[kReportBytes] = {};
    DWORD error = 0;
    const int read = ReadReport(handle, in, 2000, error);
    const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (read != 1) {
      std::printf("error=read %s %lu\n", read == 0 ? "timed out" : "failed", error);
      ++failures;
      break;
    }
    if (i == 0) std::printf("written=%lu first_in=%02x%02x%02x\n", written, in[0], in[1], in[2]);
    if (in[0] != 0 || std::memcmp(in + 1, out + 1, kReportBytes - 1) != 0) ++failures;
    micros.push_back(took);
  }
  CloseHandle(handle);
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    std::printf("echoes=%zu mismatches=%d min_us=%.0f median_us=%.0f p90_us=%.0f max_us=%.0f\n",
                micros.size(), failures, micros.front(), micros[micros.size() / 2],
                micros[micros.size() * 9 / 10], micros.back());
  }
  return failures == 0 ? 0 : 1;
}

int Hold(const char* vid, const char* pid, DWORD ms, const char* index) {
  std::wstring path;
  HANDLE handle = OpenPicked(vid, pid, index, path);
  if (handle == INVALID_HANDLE_VALUE) return 1;
  std::printf("holding=%s\n", Narrow(path).c_str());
  std::fflush(stdout);
  BYTE in[kReportBytes] = {};
  DWORD error = 0;
  const auto start = Clock::now();
  const int read = ReadReport(handle, in, ms, error);
  const long long took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  std::printf("read=%s error=%lu after_ms=%lld\n",
              read == 1   ? "report"
              : read == 0 ? "timeout"
                          : "failed",
              error, took);
  BYTE out[kReportBytes] = {};
  DWORD written = 0;
  const bool wrote = WriteReport(handle, out, written);
  std::printf("write_after=%s error=%lu\n", wrote ? "ok" : "failed", wrote ? 0 : GetLastError());
  CloseHandle(handle);
  return 0;
}

int Open(const char* path) {
  std::wstring wide;
  for (const char* c = path; *c != '\0'; ++c) wide += static_cast<wchar_t>(*c);
  HANDLE handle = OpenOverlapped(wide);
  std::printf("open=%s error=%lu\n", handle == INVALID_HANDLE_VALUE ? "failed" : "ok",
              handle == INVALID_HANDLE_VALUE ? GetLastError() : 0);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return 0;
}

// Reads what is queued on a handle, oldest first: the first payload byte of each report.
std::string DrainFirstBytes(HANDLE handle, int& count) {
  std::string firsts;
  count = 0;
  for (;;) {
    BYTE in[kReportBytes] = {};
    DWORD error = 0;
    if (ReadReport(handle, in, 200, error) != 1) break;
    char text[8];
    std::snprintf(text, sizeof(text), "%s%u", count ? "," : "", in[1]);
    firsts += text;
    ++count;
  }
  return firsts;
}

int Flood(const char* vid, const char* pid, DWORD ms, const char* index) {
  std::wstring path;
  HANDLE early = OpenPicked(vid, pid, index, path);
  if (early == INVALID_HANDLE_VALUE) return 1;
  // One report asks the device for its burst; nothing is read meanwhile.
  BYTE trigger[kReportBytes] = {};
  std::memset(trigger + 1, 0xF1, kReportBytes - 1);
  DWORD written = 0;
  std::printf("opened=yes trigger=%s\n",
              WriteReport(early, trigger, written) ? "written" : "failed");
  std::fflush(stdout);
  Sleep(ms);
  HANDLE late = OpenOverlapped(path);
  const DWORD lateError = late == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  int queued = 0;
  const std::string firsts = DrainFirstBytes(early, queued);
  // A late handle that could not be opened has queued nothing either: that must not read as 0.
  std::string lateQueued = "open-failed error=" + std::to_string(lateError);
  if (late != INVALID_HANDLE_VALUE) {
    int count = 0;
    DrainFirstBytes(late, count);
    lateQueued = std::to_string(count);
  }
  std::printf("queued=%d first_bytes=%s late_handle_queued=%s\n", queued, firsts.c_str(),
              lateQueued.c_str());
  if (late != INVALID_HANDLE_VALUE) CloseHandle(late);
  CloseHandle(early);
  return 0;
}

BOOL CALLBACK PrintTitle(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  wchar_t title[256];
  if (GetWindowTextW(window, title, 256) > 0) std::printf("title=%s\n", Narrow(title).c_str());
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list" && argc == 2) return List();
  if (command == "watch" && argc == 3) return Watch(std::strtoul(argv[2], nullptr, 10));
  if (command == "echo" && (argc == 5 || argc == 6)) {
    return Echo(argv[2], argv[3], std::atoi(argv[4]), argc == 6 ? argv[5] : nullptr);
  }
  if (command == "hold" && (argc == 5 || argc == 6)) {
    return Hold(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10),
                argc == 6 ? argv[5] : nullptr);
  }
  if (command == "flood" && (argc == 5 || argc == 6)) {
    return Flood(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10),
                 argc == 6 ? argv[5] : nullptr);
  }
  if (command == "open" && argc == 3) return Open(argv[2]);
  if (command == "titles" && argc == 2) return EnumWindows(PrintTitle, 0) ? 0 : 1;
  std::fprintf(
      stderr,
      "usage: vhid-probe list | watch MS | echo VID PID N [INDEX] | hold VID PID MS [INDEX]"
      " | flood VID PID MS [INDEX] | open PATH | titles\n");
  return 2;
}
