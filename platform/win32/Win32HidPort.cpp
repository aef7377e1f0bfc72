// The HID port over SetupAPI, hid.dll and overlapped file I/O.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/HidPort.h"
#include "platform/win32/PlatformPort.h"

// The SDK headers come last and in this order (see Win32Api.h).
// clang-format off
#include "platform/win32/Win32Api.h"
#include <setupapi.h>
// For the types and the functions' signatures only: hid.dll is loaded at run time (HidLibrary).
// MinGW's hidsdi.h declares the hid.dll functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
// clang-format on

namespace kestro::win32 {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};
// An event or file handle that is closed on every path.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct DeviceInfoListDestroyer {
  void operator()(HDEVINFO list) const {
    if (list != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(list);
  }
};
using UniqueDeviceInfoList = std::unique_ptr<void, DeviceInfoListDestroyer>;

HANDLE ToHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PortHandle FromHandle(HANDLE handle) { return reinterpret_cast<PortHandle>(handle); }

struct ModuleFreer {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<HINSTANCE__, ModuleFreer>;

// hid.dll is not one of the system's KnownDLLs: imported by name, it would be looked for first in
// the program's own folder, and a hid.dll left beside the program (in Downloads, say) would run
// with the user's rights as the program starts. So it is loaded from the system folder only, and
// the functions the port needs are looked up there once. Without them the port finds no
// controller.
class HidLibrary {
 public:
  explicit HidLibrary(const wchar_t* name)
      : m_module(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)),
        m_getHidGuid(Find<decltype(&::HidD_GetHidGuid)>("HidD_GetHidGuid")),
        m_getAttributes(Find<decltype(&::HidD_GetAttributes)>("HidD_GetAttributes")) {
    if (!m_module) {
      DebugLine(L"%ls: not loaded from the system folder (error %lu)", name, ::GetLastError());
    } else if (!Loaded()) {
      DebugLine(L"%ls: HidD_GetHidGuid or HidD_GetAttributes missing", name);
    }
  }

  bool Loaded() const { return m_getHidGuid != nullptr && m_getAttributes != nullptr; }

  // The HID interface class, or nothing when hid.dll is unusable.
  std::optional<GUID> InterfaceClass() const {
    if (!Loaded()) return std::nullopt;
    GUID guid;
    m_getHidGuid(&guid);
    return guid;
  }

  bool GetAttributes(HANDLE handle, HIDD_ATTRIBUTES& attributes) const {
    return Loaded() && m_getAttributes(handle, &attributes);
  }

 private:
  template <typename Function>
  Function Find(const char* name) const {
    if (!m_module) return nullptr;
    // Through the generic function pointer type, which converts to any other without a warning.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(m_module.get(), name)));
  }

  UniqueModule m_module;
  decltype(&::HidD_GetHidGuid) m_getHidGuid;
  decltype(&::HidD_GetAttributes) m_getAttributes;
};

UniqueHandle CreateManualResetEvent() {
  return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// How long a cancelled transfer may take to settle. Windows' HID stack ends a cancelled request
// at once; a driver that does not would otherwise hold the thread (and, through CHid, the
// window) for as long as it keeps the request. (Under Wine this never comes into play: its
// hidclass hands a write to the minidriver synchronously, so WriteFile itself returns only when
// the stack is done with it.)
constexpr DWORD kSettleMs = 1000;

// One overlapped transfer: its record, event and buffer, which the system may use until the
// transfer has settled. On the heap, so that one that does not settle can be left to the system
// instead of being freed under it.
struct Transfer {
  OVERLAPPED overlapped{};
  UniqueHandle event = CreateManualResetEvent();
  std::uint8_t buffer[kReportSize] = {};
};
using TransferPtr = std::unique_ptr<Transfer>;

TransferPtr NewTransfer() {
  auto transfer = std::make_unique<Transfer>();
  if (!transfer->event) return nullptr;
  transfer->overlapped.hEvent = transfer->event.get();
  return transfer;
}

enum class Settled { kCompleted, kFailed, kAbandoned };

// Cancels this thread's pending I/O on the handle and waits, bounded, until the system has
// finished with the transfer. A transfer that stays pending is abandoned: its memory is never
// freed, since the system still owns it.
Settled CancelAndSettle(HANDLE handle, TransferPtr& transfer, DWORD& transferred) {
  ::CancelIo(handle);
  if (::WaitForSingleObject(transfer->event.get(), kSettleMs) != WAIT_OBJECT_0) {
    transfer.release();
    return Settled::kAbandoned;
  }
  return ::GetOverlappedResult(handle, &transfer->overlapped, &transferred, FALSE)
             ? Settled::kCompleted
             : Settled::kFailed;
}

class Win32HidPort : public HidPort {
 public:
  explicit Win32HidPort(const wchar_t* hidLibrary) : m_hid(hidLibrary) {}
  std::vector<std::wstring> EnumerateInterfaces() override;
  PortHandle Open(const std::wstring& path, PortAccess access) override;
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override;
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
  void Close(PortHandle handle) override;
  NotifyRegistration RegisterNotifications(NativeWindow window) override;
  void UnregisterNotifications(NotifyRegistration registration) override;
  std::uint32_t LastError() override { return ::GetLastError(); }
  void Abort() override { ::SetEvent(m_aborted.get()); }

 private:
  bool Aborted() const { return ::WaitForSingleObject(m_aborted.get(), 0) == WAIT_OBJECT_0; }
  // Waits for the transfer or an abort, at most timeoutMs: WAIT_OBJECT_0 when the transfer ended,
  // WAIT_TIMEOUT, or WAIT_ABANDONED when the port was aborted.
  DWORD WaitForTransfer(const Transfer& transfer, DWORD timeoutMs) const;

  HidLibrary m_hid;
  // Set for good by Abort.
  UniqueHandle m_aborted = CreateManualResetEvent();
};

DWORD Win32HidPort::WaitForTransfer(const Transfer& transfer, DWORD timeoutMs) const {
  const HANDLE waits[] = {transfer.event.get(), m_aborted.get()};
  const DWORD count = m_aborted ? 2 : 1;
  const DWORD result = ::WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
  if (result == WAIT_OBJECT_0 + 1) return WAIT_ABANDONED;
  return result;
}

std::vector<std::wstring> Win32HidPort::EnumerateInterfaces() {
  std::vector<std::wstring> paths;
  const std::optional<GUID> interfaceClass = m_hid.InterfaceClass();
  if (!interfaceClass) return paths;
  GUID hidClass = *interfaceClass;
  UniqueDeviceInfoList list(
      ::SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (list.get() == INVALID_HANDLE_VALUE) return paths;

  // The detail record is sized from the first interface and reused; it is re-sized only when a
  // query fails. Kept in DWORDs so that the record is suitably aligned.
  std::vector<DWORD> detailBuffer;
  bool sizeWanted = true;
  bool resizedForThisInterface = false;
  for (DWORD index = 0;;) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidClass, index, &interfaceData)) {
      break;  // ERROR_NO_MORE_ITEMS, or a snapshot that cannot be walked further
    }
    if (sizeWanted) {
      DWORD required = 0;
      ::SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, nullptr, 0, &required,
                                         nullptr);
      const std::size_t bytes =
          std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
      detailBuffer.assign((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
      sizeWanted = false;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    const DWORD detailBytes = static_cast<DWORD>(detailBuffer.size() * sizeof(DWORD));
    if (!::SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, detail, detailBytes,
                                            nullptr, nullptr)) {
      if (!resizedForThisInterface) {
        // Ask for this interface's size and try it once more.
        sizeWanted = true;
        resizedForThisInterface = true;
        continue;
      }
      // Still failing with a buffer of the size it asked for: skip it rather than loop.
      resizedForThisInterface = false;
      ++index;
      continue;
    }
    resizedForThisInterface = false;
    // The path ends at its NUL; never read past the buffer should the system not write one.
    const wchar_t* path = detail->DevicePath;
    const std::size_t maxChars =
        (detailBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    paths.emplace_back(path, ::wcsnlen(path, maxChars));
    ++index;
  }
  return paths;
}

PortHandle Win32HidPort::Open(const std::wstring& path, PortAccess access) {
  DWORD desired = 0;
  switch (access) {
    case PortAccess::ProbeReadWrite:
      desired = GENERIC_READ | GENERIC_WRITE;
      break;
    case PortAccess::Write:
      desired = GENERIC_WRITE;
      break;
    case PortAccess::Read:
      desired = GENERIC_READ;
      break;
  }
  // Every handle is overlapped: reads are bounded by a wait, and so are writes.
  HANDLE handle = ::CreateFileW(path.c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kNoHandle;
  return FromHandle(handle);
}

bool Win32HidPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  HIDD_ATTRIBUTES hidAttributes{};
  hidAttributes.Size = sizeof(hidAttributes);
  if (!m_hid.GetAttributes(ToHandle(handle), hidAttributes)) return false;
  attributes.vendorId = hidAttributes.VendorID;
  attributes.productId = hidAttributes.ProductID;
  return true;
}

bool Win32HidPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  if (Aborted()) return false;
  TransferPtr transfer = NewTransfer();
  if (!transfer) return false;
  std::memcpy(transfer->buffer, report, kReportSize);
  DWORD written = 0;
  if (!::WriteFile(ToHandle(handle), transfer->buffer, kReportSize, nullptr,
                   &transfer->overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  const DWORD wait = WaitForTransfer(*transfer, timeoutMs);
  if (wait == WAIT_OBJECT_0) {
    return ::GetOverlappedResult(ToHandle(handle), &transfer->overlapped, &written, FALSE) &&
           written == kReportSize;
  }
  // A controller that stops taking reports: give up. The report counts as written only if it
  // went out while the cancellation settled, and never once the port was aborted.
  return CancelAndSettle(ToHandle(handle), transfer, written) == Settled::kCompleted &&
         written == kReportSize && wait != WAIT_ABANDONED;
}

std::uint32_t Win32HidPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  if (Aborted()) return kWaitReadFailed;
  TransferPtr transfer = NewTransfer();
  if (!transfer) return kWaitReadFailed;
  // A read the system rejects at once is never a report, whatever the code (a removed device
  // gives ERROR_DEVICE_NOT_CONNECTED on Windows and ERROR_ACCESS_DENIED on Wine).
  if (!::ReadFile(ToHandle(handle), transfer->buffer, kReportSize, nullptr,
                  &transfer->overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return kWaitReadFailed;
  }
  DWORD transferred = 0;
  const DWORD wait = WaitForTransfer(*transfer, timeoutMs);
  if (wait != WAIT_OBJECT_0) {
    // A report that arrived while the read was being cancelled is a report, unless the port was
    // aborted: then nothing more is taken from the controller.
    switch (CancelAndSettle(ToHandle(handle), transfer, transferred)) {
      case Settled::kCompleted:
        if (wait == WAIT_ABANDONED) return kWaitReadFailed;
        std::memcpy(report, transfer->buffer, kReportSize);
        return kWaitReceived;
      case Settled::kFailed:
        return wait == WAIT_TIMEOUT ? kWaitTimeout : kWaitReadFailed;
      case Settled::kAbandoned:
        return kWaitReadFailed;
    }
  }
  if (!::GetOverlappedResult(ToHandle(handle), &transfer->overlapped, &transferred, FALSE)) {
    return kWaitReadFailed;
  }
  std::memcpy(report, transfer->buffer, kReportSize);
  return kWaitReceived;
}

void Win32HidPort::Close(PortHandle handle) {
  if (handle != kNoHandle) ::CloseHandle(ToHandle(handle));
}

NotifyRegistration Win32HidPort::RegisterNotifications(NativeWindow window) {
  const std::optional<GUID> interfaceClass = m_hid.InterfaceClass();
  if (!interfaceClass) return nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  static_assert(sizeof(filter) == 32, "the notification filter is 32 bytes");
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = *interfaceClass;
  filter.dbcc_name[0] = L'\0';
  return ::RegisterDeviceNotificationW(static_cast<HWND>(window), &filter,
                                       DEVICE_NOTIFY_WINDOW_HANDLE);
}

void Win32HidPort::UnregisterNotifications(NotifyRegistration registration) {
  if (registration != nullptr) ::UnregisterDeviceNotification(registration);
}

}  // namespace

std::unique_ptr<HidPort> CreateHidPortOver(const wchar_t* hidLibrary) {
  return std::make_unique<Win32HidPort>(hidLibrary);
}

}  // namespace kestro::win32

std::unique_ptr<kestro::HidPort> CreatePlatformHidPort() {
  return kestro::win32::CreateHidPortOver(L"hid.dll");
}
