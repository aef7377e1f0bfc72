// The virtual devices as the PnP manager knows them: root devices made and removed through
// SetupAPI the way a device installer does it, so that Wine starts and stops them at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro::vhid {

// The service the INF installs for the driver.
inline constexpr wchar_t kServiceName[] = L"kestrovhid";

// Paths and ids in messages: ASCII, anything else as '?'.
inline std::string Narrow(const std::wstring& wide) {
  std::string text;
  for (wchar_t c : wide) text += c < 0x80 ? static_cast<char>(c) : '?';
  return text;
}

// ROOT\VID_XXXX&PID_YYYY\NNNN
std::wstring InstanceId(std::uint16_t vendorId, std::uint16_t productId, std::uint32_t serial);

// Registers the device and installs the driver of infPath on it (and only on it); the PnP
// manager starts it. False with the reason; a half-made device is removed again.
bool InstallDevice(const std::wstring& instanceId, const std::wstring& infPath, std::string& error);

// Removes the device; one that is not there counts as removed.
bool RemoveDevice(const std::wstring& instanceId, std::string& error);

// A root device stays in the prefix and comes back at its next start: removes every device of
// our driver that an earlier run left behind. highestSerial: the highest serial among them (0
// for none). False with the reason.
bool RemoveStaleDevices(std::uint32_t& highestSerial, std::string& error);

// The HID interfaces present now, each by the instance id of the device that has it.
struct HidInterface {
  std::wstring instanceId;
};
std::vector<HidInterface> PresentHidInterfaces();

}  // namespace kestro::vhid
