#include "vhid/bridge/Win32VirtualStack.h"

#include <windows.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "vhid/bridge/DeviceInstaller.h"
#include "vhid/bridge/Win32Error.h"

namespace kestro::vhid {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kInfName[] = L"kestrovhid.inf";
constexpr wchar_t kDriverName[] = L"kestrovhid.sys";
// Adding a device takes 50-215 ms here and removing one 11-20 ms; a loaded machine much more.
constexpr std::chrono::milliseconds kDeviceWait{15000};
// How often the interface list is looked at meanwhile: each look costs about a millisecond.
constexpr std::chrono::milliseconds kDevicePoll{5};
// hidclass takes a report within a millisecond; only a stuck winedevice.exe takes this long.
constexpr DWORD kSettleWaitMs = 5000;
// Stopping the driver's service, when an older build of it is loaded.
constexpr std::chrono::milliseconds kUnloadWait{10000};

bool ReadWhole(const std::wstring& path, std::vector<char>& bytes) {
  std::ifstream file(path.c_str(), std::ios::binary);
  if (!file) return false;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
  return text;
}

// hidclass names its child after the root device: HID\VID_XXXX&PID_YYYY\<our instance part>.
bool IsChildOf(const HidInterface& found, const std::wstring& instanceId) {
  const std::wstring child = Upper(found.instanceId);
  const std::wstring parent = Upper(instanceId);
  const std::size_t parentTail = parent.find(L'\\');
  return parentTail != std::wstring::npos && child.size() > 4 &&
         child.compare(0, 4, L"HID\\") == 0 &&
         child.compare(4, std::wstring::npos, parent, parentTail + 1, std::wstring::npos) == 0;
}

}  // namespace

Win32VirtualStack::Win32VirtualStack(std::wstring driverDir, ControlDevice::OutputSink outputs,
                                     ControlDevice::FailureSink failed)
    : m_driverDir(std::move(driverDir)),
      m_outputs(std::move(outputs)),
      m_failed(std::move(failed)) {}

Win32VirtualStack::~Win32VirtualStack() { m_control.Close(); }

bool Win32VirtualStack::Prepare(std::string& error) {
  if (GetFileAttributesW((m_driverDir + L"\\" + kInfName).c_str()) == INVALID_FILE_ATTRIBUTES) {
    error = "cannot find " + Narrow(m_driverDir + L"\\" + kInfName);
    return false;
  }
  // First, so that the devices of a bridge that is still running are left alone.
  std::string openError;
  const ControlDevice::Opened opened = m_control.Open(openError);
  if (opened == ControlDevice::Opened::kTaken) {
    error = "another kestro-vhid.exe serves this Wine prefix";
    return false;
  }
  std::uint32_t highestStale = 0;
  if (!RemoveStaleDevices(highestStale, error)) return false;
  m_firstSerial = highestStale + 1;
  const bool ours = InstalledDriverIsOurs(error);
  if (!error.empty()) return false;
  if (!ours && opened != ControlDevice::Opened::kNoDriver) {
    // Loaded (an older build may not even answer the claim), so the install cannot replace its
    // file: stop it first.
    m_control.Close();
    return UnloadDriver(error);
  }
  if (opened == ControlDevice::Opened::kFailed) {
    error = openError;
    return false;
  }
  if (opened == ControlDevice::Opened::kYes) m_control.StartOutputs(m_outputs, m_failed);
  return true;
}

bool Win32VirtualStack::OpenControl(std::string& error) {
  const Clock::time_point deadline = Clock::now() + kDeviceWait;
  for (;;) {
    switch (m_control.Open(error)) {
      case ControlDevice::Opened::kYes:
        m_control.StartOutputs(m_outputs, m_failed);
        return true;
      case ControlDevice::Opened::kTaken:
        error = "another kestro-vhid.exe serves this Wine prefix";
        return false;
      case ControlDevice::Opened::kFailed:
        return false;
      case ControlDevice::Opened::kNoDriver:
        if (Clock::now() >= deadline) {
          error = "the driver did not start: its control device is missing";
          return false;
        }
        std::this_thread::sleep_for(kDevicePoll);
        break;
    }
  }
}

bool Win32VirtualStack::InstalledDriverIsOurs(std::string& error) {
  std::vector<char> ours;
  if (!ReadWhole(m_driverDir + L"\\" + kDriverName, ours)) {
    error = "cannot read " + Narrow(m_driverDir + L"\\" + kDriverName);
    return false;
  }
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  std::vector<char> installed;
  if (length == 0 || length >= MAX_PATH ||
      !ReadWhole(std::wstring(system) + L"\\drivers\\" + kDriverName, installed)) {
    return false;  // not installed yet: the first install copies it
  }
  return installed == ours;
}

bool Win32VirtualStack::UnloadDriver(std::string& error) {
  const std::string advice =
      "an older kestrovhid.sys is loaded in this Wine prefix and cannot be replaced while it runs; "
      "end the prefix's Wine processes (wineserver -k) and start again";
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
  bool stopped = false;
  if (service != nullptr) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    const Clock::time_point deadline = Clock::now() + kUnloadWait;
    while (!(stopped = QueryServiceStatus(service, &status) &&
                       status.dwCurrentState == SERVICE_STOPPED) &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  if (!stopped) error = advice;
  return stopped;
}

bool Win32VirtualStack::AwaitInterface(const std::wstring& instanceId, bool present,
                                       std::string& error) {
  const Clock::time_point deadline = Clock::now() + kDeviceWait;
  for (;;) {
    bool found = false;
    for (const HidInterface& hid : PresentHidInterfaces())
      found = found || IsChildOf(hid, instanceId);
    if (found == present) return true;
    if (Clock::now() >= deadline) {
      error = Narrow(instanceId) +
              (present ? ": no HID interface appeared" : ": its HID interface stayed") +
              " within " + std::to_string(kDeviceWait.count()) + " ms";
      return false;
    }
    std::this_thread::sleep_for(kDevicePoll);
  }
}

bool Win32VirtualStack::Add(std::uint32_t serial, std::uint16_t vendorId, std::uint16_t productId,
                            std::string& error) {
  const std::wstring instanceId = InstanceId(vendorId, productId, serial);
  if (instanceId.empty()) {
    error = "serial " + std::to_string(serial) + " is out of range";
    return false;
  }
  if (!InstallDevice(instanceId, m_driverDir + L"\\" + kInfName, error)) return false;
  if (!OpenControl(error) || !AwaitInterface(instanceId, true, error)) {
    std::string ignored;
    RemoveDevice(instanceId, ignored);
    return false;
  }
  m_instances[serial] = instanceId;
  return true;
}

bool Win32VirtualStack::Remove(std::uint32_t serial, std::string& error) {
  const auto found = m_instances.find(serial);
  if (found == m_instances.end()) return true;
  const std::wstring instanceId = found->second;
  m_instances.erase(found);
  return RemoveDevice(instanceId, error) && AwaitInterface(instanceId, false, error);
}

bool Win32VirtualStack::Input(std::uint32_t serial,
                              const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
                              std::string& error) {
  if (!m_control.IsOpen()) return true;  // no device has started: nobody can read it
  return m_control.PutInput(serial, payload, error);
}

bool Win32VirtualStack::Stall(std::uint32_t serial, std::string& error) {
  return !m_control.IsOpen() || m_control.Stall(serial, error);
}

bool Win32VirtualStack::Settle(std::string& error) {
  return !m_control.IsOpen() || m_control.Settle(kSettleWaitMs, error);
}

}  // namespace kestro::vhid
