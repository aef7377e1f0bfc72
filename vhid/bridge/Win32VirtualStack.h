// The virtual stack in Wine: each device is a root device driven by kestrovhid.sys, installed
// with the INF beside kestro-vhid.exe, and its reports go through the driver's control device.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "vhid/bridge/ControlDevice.h"
#include "vhid/bridge/VirtualStack.h"

namespace kestro::vhid {

class Win32VirtualStack : public VirtualStack {
 public:
  // driverDir holds kestrovhid.inf and kestrovhid.sys.
  Win32VirtualStack(std::wstring driverDir, ControlDevice::OutputSink outputs,
                    ControlDevice::FailureSink failed);
  ~Win32VirtualStack() override;

  // Before the first device: refuses a prefix that another bridge serves, removes devices that
  // earlier runs left, and makes sure the driver that will run is the one beside us.
  bool Prepare(std::string& error);
  // The first serial this run may use: above those of devices that earlier runs left.
  std::uint32_t FirstSerial() const { return m_firstSerial; }

  bool Add(std::uint32_t serial, std::uint16_t vendorId, std::uint16_t productId,
           std::string& error) override;
  bool Remove(std::uint32_t serial, std::string& error) override;
  bool Input(std::uint32_t serial, const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
             std::string& error) override;
  bool Settle(std::string& error) override;
  bool Stall(std::uint32_t serial, std::string& error) override;
  // Stops taking output reports; the sink is not called after this returns.
  void Close() { m_control.Close(); }

 private:
  // Once the driver runs (the first device starts it), bounded; then takes output reports.
  bool OpenControl(std::string& error);
  bool InstalledDriverIsOurs(std::string& error);
  bool UnloadDriver(std::string& error);
  // Until the device's HID interface is present (or gone), bounded.
  bool AwaitInterface(const std::wstring& instanceId, bool present, std::string& error);

  const std::wstring m_driverDir;
  ControlDevice m_control;
  ControlDevice::OutputSink m_outputs;
  ControlDevice::FailureSink m_failed;
  std::map<std::uint32_t, std::wstring> m_instances;  // serial -> instance id
  std::uint32_t m_firstSerial = 1;
};

}  // namespace kestro::vhid
