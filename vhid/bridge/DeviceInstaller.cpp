#include "vhid/bridge/DeviceInstaller.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <algorithm>
#include <cwctype>
#include <memory>

#include "vhid/VhidIdentity.h"
#include "vhid/bridge/Win32Error.h"

namespace kestro::vhid {
namespace {

// The HIDClass device setup class, {745a17a0-74d3-11d0-b6fe-00a0c90f57da}.
constexpr GUID kHidClass = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

struct InfoListDestroyer {
  void operator()(void* list) const {
    if (list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list);
  }
};
using UniqueInfoList = std::unique_ptr<void, InfoListDestroyer>;

std::wstring Widen(const char* ascii) {
  std::wstring wide;
  for (; *ascii != '\0'; ++ascii) wide += static_cast<wchar_t>(*ascii);
  return wide;
}

std::string Failed(const char* call, const std::wstring& instanceId) {
  return std::string(call) + " for " + Narrow(instanceId) + ": " + Win32ErrorText(GetLastError());
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

// The REG_MULTI_SZ hardware ids of one device.
std::vector<std::wstring> HardwareIds(HDEVINFO list, SP_DEVINFO_DATA& device) {
  std::vector<wchar_t> buffer(256);
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(
          list, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
          static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.assign(size / sizeof(wchar_t) + 2, 0);
    if (!SetupDiGetDeviceRegistryPropertyW(
            list, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
            static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), nullptr)) {
      return {};
    }
  }
  std::vector<std::wstring> ids;
  for (const wchar_t* id = buffer.data(); *id != L'\0' && id < buffer.data() + buffer.size();
       id += wcslen(id) + 1) {
    ids.emplace_back(id);
  }
  return ids;
}

std::wstring DeviceInstanceId(HDEVINFO list, SP_DEVINFO_DATA& device) {
  // MAX_DEVICE_ID_LEN of cfgmgr32.h: 200 characters.
  wchar_t id[200] = {};
  if (!SetupDiGetDeviceInstanceIdW(list, &device, id, 200, nullptr)) return {};
  return id;
}

}  // namespace

std::wstring InstanceId(std::uint16_t vendorId, std::uint16_t productId, std::uint32_t serial) {
  char id[VHID_INSTANCE_ID_CHARS];
  if (VhidFormatInstanceId(vendorId, productId, serial, id, sizeof(id)) == 0) return {};
  return Widen(id);
}

bool InstallDevice(const std::wstring& instanceId, const std::wstring& infPath,
                   std::string& error) {
  UniqueInfoList list(SetupDiCreateDeviceInfoList(&kHidClass, nullptr));
  if (list.get() == INVALID_HANDLE_VALUE) {
    error = Failed("SetupDiCreateDeviceInfoList", instanceId);
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(list.get(), instanceId.c_str(), &kHidClass, nullptr, nullptr, 0,
                                &device)) {
    error = Failed("SetupDiCreateDeviceInfoW", instanceId);
    return false;
  }
  // Its own id first, so that the driver update below touches this device alone (Wine reinstalls
  // every device that has the id it is given); then the id the INF's model names.
  const std::wstring hardwareIds = instanceId + L'\0' + Widen(VHID_HARDWARE_ID) + L'\0' + L'\0';
  if (!SetupDiSetDeviceRegistryPropertyW(
          list.get(), &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareIds.data()),
          static_cast<DWORD>(hardwareIds.size() * sizeof(wchar_t)))) {
    error = Failed("SetupDiSetDeviceRegistryPropertyW", instanceId);
    return false;
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.get(), &device)) {
    error = Failed("DIF_REGISTERDEVICE", instanceId);
    return false;
  }
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, instanceId.c_str(), infPath.c_str(), 0,
                                          &reboot)) {
    error = Failed("UpdateDriverForPlugAndPlayDevicesW", instanceId);
    SetupDiCallClassInstaller(DIF_REMOVE, list.get(), &device);
    return false;
  }
  // Wine's update reports success even when the INF had no driver for the device.
  wchar_t service[64] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(list.get(), &device, SPDRP_SERVICE, nullptr,
                                         reinterpret_cast<BYTE*>(service), sizeof(service) - 2,
                                         nullptr) ||
      !SameText(service, kServiceName)) {
    error = "no driver from " + Narrow(infPath) + " was installed on " + Narrow(instanceId);
    SetupDiCallClassInstaller(DIF_REMOVE, list.get(), &device);
    return false;
  }
  return true;
}

bool RemoveDevice(const std::wstring& instanceId, std::string& error) {
  UniqueInfoList list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (list.get() == INVALID_HANDLE_VALUE) {
    error = Failed("SetupDiCreateDeviceInfoList", instanceId);
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!SetupDiOpenDeviceInfoW(list.get(), instanceId.c_str(), nullptr, 0, &device)) {
    if (GetLastError() == ERROR_NO_SUCH_DEVINST) return true;
    error = Failed("SetupDiOpenDeviceInfoW", instanceId);
    return false;
  }
  if (!SetupDiCallClassInstaller(DIF_REMOVE, list.get(), &device)) {
    error = Failed("DIF_REMOVE", instanceId);
    return false;
  }
  return true;
}

bool RemoveStaleDevices(std::uint32_t& highestSerial, std::string& error) {
  highestSerial = 0;
  // Present or not: a device of a run that ended stays registered.
  UniqueInfoList list(SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr, 0));
  if (list.get() == INVALID_HANDLE_VALUE) {
    error = "SetupDiGetClassDevsW: " + Win32ErrorText(GetLastError());
    return false;
  }
  std::vector<std::wstring> stale;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
    for (const std::wstring& id : HardwareIds(list.get(), device)) {
      if (SameText(id, Widen(VHID_HARDWARE_ID)))
        stale.push_back(DeviceInstanceId(list.get(), device));
    }
  }
  for (const std::wstring& instanceId : stale) {
    const std::size_t slash = instanceId.rfind(L'\\');
    std::uint32_t serial = 0;
    if (slash != std::wstring::npos) {
      const std::u16string tail(instanceId.begin() + static_cast<std::ptrdiff_t>(slash) + 1,
                                instanceId.end());
      if (VhidParseSerial(reinterpret_cast<const std::uint16_t*>(tail.data()), tail.size(),
                          &serial)) {
        highestSerial = std::max(highestSerial, serial);
      }
    }
    if (!RemoveDevice(instanceId, error)) return false;
  }
  return true;
}

std::vector<HidInterface> PresentHidInterfaces() {
  std::vector<HidInterface> found;
  GUID hidInterface;
  HidD_GetHidGuid(&hidInterface);
  UniqueInfoList list(
      SetupDiGetClassDevsW(&hidInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (list.get() == INVALID_HANDLE_VALUE) return found;
  std::vector<DWORD> buffer(1024);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidInterface, index, &data)) break;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &data, detail,
                                          static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                                          nullptr, &device)) {
      continue;
    }
    found.push_back({DeviceInstanceId(list.get(), device)});
  }
  return found;
}

}  // namespace kestro::vhid
