#include "vhid/bridge/ControlDevice.h"

#include <cstring>

#include "vhid/bridge/Win32Error.h"

namespace kestro::vhid {
namespace {

// A request the driver answers at once still goes through winedevice.exe; generous.
constexpr DWORD kRequestTimeoutMs = 5000;

// The driver's STATUS_NO_SUCH_DEVICE, for a device removed meanwhile, as it may reach us.
bool DeviceGone(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_DEV_NOT_EXIST || code == ERROR_BAD_UNIT;
}

}  // namespace

ControlDevice::~ControlDevice() { Close(); }

ControlDevice::Opened ControlDevice::Open(std::string& error) {
  if (IsOpen()) return Opened::kYes;
  m_handle = CreateFileW(VHID_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  DWORD code = m_handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  // Wine opens the file even when the driver refuses the open; the claim tells.
  if (m_handle != INVALID_HANDLE_VALUE &&
      !Call(VHID_IOCTL_CLAIM, nullptr, 0, nullptr, 0, kRequestTimeoutMs, code)) {
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
  }
  if (m_handle != INVALID_HANDLE_VALUE) return Opened::kYes;
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Opened::kNoDriver;
  if (code == ERROR_SHARING_VIOLATION) return Opened::kTaken;
  error = "opening the driver's control device: " + Win32ErrorText(code);
  return Opened::kFailed;
}

void ControlDevice::Close() {
  if (m_stop != nullptr) SetEvent(m_stop);
  if (m_outputs.joinable()) m_outputs.join();
  if (m_stop != nullptr) CloseHandle(m_stop);
  m_stop = nullptr;
  if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

bool ControlDevice::Call(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes,
                         DWORD timeoutMs, DWORD& error) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    error = GetLastError();
    return false;
  }
  DWORD transferred = 0;
  bool done = DeviceIoControl(m_handle, code, const_cast<void*>(in), inBytes, out, outBytes,
                              nullptr, &overlapped) != FALSE;
  error = done ? 0 : GetLastError();
  if (!done && error == ERROR_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      // The buffers must outlive the request: cancel it and wait for it to end.
      CancelIoEx(m_handle, &overlapped);
      done = GetOverlappedResult(m_handle, &overlapped, &transferred, TRUE) != FALSE;
      error = done ? 0 : ERROR_TIMEOUT;
    } else {
      done = GetOverlappedResult(m_handle, &overlapped, &transferred, FALSE) != FALSE;
      error = done ? 0 : GetLastError();
    }
  }
  CloseHandle(overlapped.hEvent);
  return done;
}

bool ControlDevice::PutInput(std::uint32_t serial,
                             const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
                             std::string& error) {
  VhidInputRecord record{};
  record.serial = serial;
  std::memcpy(record.payload, payload, VHID_PAYLOAD_BYTES);
  DWORD code = 0;
  // A device removed meanwhile: the report reaches nobody, as on Windows.
  if (Call(VHID_IOCTL_PUT_INPUT, &record, sizeof(record), nullptr, 0, kRequestTimeoutMs, code) ||
      DeviceGone(code)) {
    return true;
  }
  error = "handing an input report to the driver: " + Win32ErrorText(code);
  return false;
}

bool ControlDevice::Stall(std::uint32_t serial, std::string& error) {
  DWORD code = 0;
  if (Call(VHID_IOCTL_STALL, &serial, sizeof(serial), nullptr, 0, kRequestTimeoutMs, code) ||
      DeviceGone(code)) {
    return true;
  }
  error = "stalling a device: " + Win32ErrorText(code);
  return false;
}

bool ControlDevice::Settle(DWORD timeoutMs, std::string& error) {
  DWORD code = 0;
  if (Call(VHID_IOCTL_SETTLE, nullptr, 0, nullptr, 0, timeoutMs, code)) return true;
  error = code == ERROR_TIMEOUT ? "hidclass did not take the input reports within " +
                                      std::to_string(timeoutMs) + " ms"
                                : "waiting for hidclass: " + Win32ErrorText(code);
  return false;
}

void ControlDevice::StartOutputs(OutputSink sink, FailureSink failed) {
  if (m_outputs.joinable()) return;
  m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_outputs = std::thread(
      [this, sink = std::move(sink), failed = std::move(failed)] { TakeOutputs(sink, failed); });
}

void ControlDevice::TakeOutputs(OutputSink sink, FailureSink failed) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    VhidOutputRecord record{};
    ResetEvent(overlapped.hEvent);
    DWORD transferred = 0;
    if (!DeviceIoControl(m_handle, VHID_IOCTL_TAKE_OUTPUT, nullptr, 0, &record, sizeof(record),
                         nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      failed("taking output reports from the driver: " + Win32ErrorText(GetLastError()));
      break;
    }
    const HANDLE waits[] = {overlapped.hEvent, m_stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIoEx(m_handle, &overlapped);
      GetOverlappedResult(m_handle, &overlapped, &transferred, TRUE);
      break;
    }
    if (!GetOverlappedResult(m_handle, &overlapped, &transferred, FALSE) ||
        transferred != sizeof(record)) {
      failed("taking output reports from the driver: " + Win32ErrorText(GetLastError()));
      break;
    }
    sink(record.serial, record.report);
  }
  CloseHandle(overlapped.hEvent);
}

}  // namespace kestro::vhid
