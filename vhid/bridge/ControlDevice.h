// The driver's control device (see VhidControl.h), opened by one bridge at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "vhid/VhidControl.h"

namespace kestro::vhid {

class ControlDevice {
 public:
  // An output report of the device with this serial, as the program wrote it.
  using OutputSink =
      std::function<void(std::uint32_t serial, const std::uint8_t (&report)[VHID_REPORT_BYTES])>;
  // The output reports can no longer be taken: why.
  using FailureSink = std::function<void(const std::string& why)>;

  ControlDevice() = default;
  ~ControlDevice();
  ControlDevice(const ControlDevice&) = delete;
  ControlDevice& operator=(const ControlDevice&) = delete;

  enum class Opened { kYes, kNoDriver, kTaken, kFailed };
  // kNoDriver: the driver is not loaded; kTaken: another bridge has it.
  Opened Open(std::string& error);
  bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
  void Close();

  // False only when the driver cannot be reached: a device that is gone already is no failure.
  bool PutInput(std::uint32_t serial, const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
                std::string& error);
  bool Settle(DWORD timeoutMs, std::string& error);
  // A device that is gone already is no failure.
  bool Stall(std::uint32_t serial, std::string& error);

  // Takes output reports on a thread of its own until Close().
  void StartOutputs(OutputSink sink, FailureSink failed);

 private:
  // One request, bounded by timeoutMs; false with the Win32 error.
  bool Call(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes, DWORD timeoutMs,
            DWORD& error);
  void TakeOutputs(OutputSink sink, FailureSink failed);

  HANDLE m_handle = INVALID_HANDLE_VALUE;
  HANDLE m_stop = nullptr;
  std::thread m_outputs;
};

}  // namespace kestro::vhid
