/* kestrovhid.sys: a HID minidriver for Wine whose devices are virtual controllers. hidclass
 * owns the device stacks; this file only moves requests between hidclass and the portable
 * device logic (VhidDevice, VhidOutputQueue), and runs the control device through which
 * kestro-vhid.exe puts input reports in and takes output reports out.
 *
 * Test equipment, built for Wine's kernel: it is never shipped or loaded on Windows. */
#include <wdm.h>

#include "vhid/VhidControl.h"
#include "vhid/VhidDevice.h"
#include "vhid/VhidIdentity.h"
#include "vhid/VhidOutputQueue.h"
#include "vhid/VhidReport.h"

/* Built with KESTRO_VHID_TRACE, the driver says what it does through DbgPrint, which Wine shows
 * with WINEDEBUG=warn+debugstr (in the output of the prefix's first Wine process). */
#ifdef KESTRO_VHID_TRACE
ULONG __cdecl DbgPrint(PCSTR format, ...);
#define TRACE(...) DbgPrint("kestrovhid: " __VA_ARGS__)
#else
#define TRACE(...) ((void)0)
#endif

/* MinGW has no hidport.h and its hidclass.h gets the minidriver codes wrong: declared here. */
#define HID_MINIDRIVER_CODE(n) CTL_CODE(FILE_DEVICE_KEYBOARD, (n), METHOD_NEITHER, FILE_ANY_ACCESS)
#define HID_GET_DEVICE_DESCRIPTOR HID_MINIDRIVER_CODE(0)
#define HID_GET_REPORT_DESCRIPTOR HID_MINIDRIVER_CODE(1)
#define HID_READ_REPORT HID_MINIDRIVER_CODE(2)
#define HID_WRITE_REPORT HID_MINIDRIVER_CODE(3)
#define HID_GET_STRING HID_MINIDRIVER_CODE(4)
#define HID_GET_DEVICE_ATTRIBUTES HID_MINIDRIVER_CODE(9)

typedef struct {
  ULONG Revision;
  PDRIVER_OBJECT DriverObject;
  PUNICODE_STRING RegistryPath;
  ULONG DeviceExtensionSize;
  BOOLEAN DevicesArePolled;
  UCHAR Reserved[3];
} HidMinidriverRegistration;

/* hidclass's extension of each device object it makes for us; ours follows behind it. */
typedef struct {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  PVOID MiniDeviceExtension;
} HidDeviceExtension;

typedef struct {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
  USHORT Reserved[11];
} HidDeviceAttributes;

typedef struct {
  PUCHAR reportBuffer;
  ULONG reportBufferLen;
  UCHAR reportId;
} HidXferPacket;

DECLSPEC_IMPORT NTSTATUS NTAPI HidRegisterMinidriver(HidMinidriverRegistration* registration);

#define HID_MINIDRIVER_REVISION 1
/* Shown by HidD_GetAttributes as the version number. */
#define VHID_VERSION_NUMBER 0x0100

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

typedef struct {
  VhidDevice state;
  PIRP pendingRead; /* set exactly while state.readPending */
} MiniExtension;

/* One lock for everything below: the traffic is a few reports per millisecond at most. */
static KSPIN_LOCK g_lock;
static VhidDeviceList g_devices;
static VhidOutputQueue g_outputs;
static PIRP g_takeRequest;
static LIST_ENTRY g_settleRequests;
/* The file object of the bridge that has the control device; requests through any other are
 * refused. Wine opens the file even when IRP_MJ_CREATE fails, so the create alone cannot. */
static PFILE_OBJECT g_bridgeFile;
static PDEVICE_OBJECT g_control;
/* hidclass's dispatch routines; ours sees the control device's requests first. */
static PDRIVER_DISPATCH g_hidclassDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

static KIRQL Lock(void) { return KeAcquireSpinLockRaiseToDpc(&g_lock); }
static void Unlock(KIRQL irql) { KeReleaseSpinLock(&g_lock, irql); }

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static MiniExtension* Mini(PDEVICE_OBJECT fdo) {
  return (MiniExtension*)((HidDeviceExtension*)fdo->DeviceExtension)->MiniDeviceExtension;
}

/* With the lock held: keeps a request until something else completes it. FALSE when it was
 * cancelled before it could be kept; the caller then completes it as cancelled. */
static BOOLEAN Park(PIRP irp, PDRIVER_CANCEL cancel) {
  IoSetCancelRoutine(irp, cancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return FALSE;
  IoMarkIrpPending(irp);
  return TRUE;
}

/* With the lock held: takes a parked request back. FALSE when its cancel routine has started;
 * that routine completes it. */
static BOOLEAN Unpark(PIRP irp) { return IoSetCancelRoutine(irp, NULL) != NULL; }

/* With the lock held: once every device is settled, moves the waiting settle requests to
 * `done` for completion after the lock is dropped. */
static void CollectSettled(PLIST_ENTRY done) {
  if (!VhidDeviceList_Settled(&g_devices)) return;
  while (!IsListEmpty(&g_settleRequests)) {
    PLIST_ENTRY entry = RemoveHeadList(&g_settleRequests);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (Unpark(irp)) {
      InsertTailList(done, entry);
    } else {
      /* Its cancel routine unlinks it again: make that harmless. */
      InitializeListHead(entry);
    }
  }
}

static void CompleteAll(PLIST_ENTRY done, NTSTATUS status) {
  while (!IsListEmpty(done)) {
    PLIST_ENTRY entry = RemoveHeadList(done);
    Complete(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), status, 0);
  }
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT fdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  MiniExtension* mini = Mini(fdo);
  const KIRQL irql = Lock();
  if (mini->pendingRead == irp) {
    mini->pendingRead = NULL;
    VhidDevice_ReadWithdrawn(&mini->state, NULL);
  }
  Unlock(irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

static VOID NTAPI CancelTake(PDEVICE_OBJECT control, PIRP irp) {
  (void)control;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  TRACE("take %p cancelled\n", irp);
  const KIRQL irql = Lock();
  if (g_takeRequest == irp) g_takeRequest = NULL;
  Unlock(irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

static VOID NTAPI CancelSettle(PDEVICE_OBJECT control, PIRP irp) {
  (void)control;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  const KIRQL irql = Lock();
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  Unlock(irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* hidclass's read-report request: answered from the queue or kept until an input comes. */
static NTSTATUS ReadReport(PDEVICE_OBJECT fdo, PIRP irp, ULONG bufferBytes) {
  MiniExtension* mini = Mini(fdo);
  if (bufferBytes < VHID_PAYLOAD_BYTES) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  uint8_t payload[VHID_PAYLOAD_BYTES];
  LIST_ENTRY settled;
  InitializeListHead(&settled);
  KIRQL irql = Lock();
  switch (VhidDevice_Read(&mini->state, payload)) {
    case VHID_READ_NOW:
      Unlock(irql);
      return Complete(irp, STATUS_SUCCESS,
                      VhidReadFromInput(payload, (uint8_t*)irp->UserBuffer, bufferBytes));
    case VHID_READ_FAILS:
      Unlock(irql);
      return Complete(irp, STATUS_DELETE_PENDING, 0);
    case VHID_READ_PENDS:
      break;
  }
  if (!Park(irp, CancelRead)) {
    VhidDevice_ReadWithdrawn(&mini->state, NULL);
    Unlock(irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  mini->pendingRead = irp;
  /* hidclass asks again only after it has queued the previous report for every open handle. */
  CollectSettled(&settled);
  Unlock(irql);
  CompleteAll(&settled, STATUS_SUCCESS);
  return STATUS_PENDING;
}

/* A program's write: queued for the bridge, or handed to its waiting take request. */
static NTSTATUS WriteReport(PDEVICE_OBJECT fdo, PIRP irp) {
  MiniExtension* mini = Mini(fdo);
  const HidXferPacket* packet = (const HidXferPacket*)irp->UserBuffer;
  VhidOutputRecord record;
  RtlZeroMemory(&record, sizeof(record));
  record.serial = mini->state.serial;
  if (packet == NULL || !VhidOutputFromWrite(packet->reportId, packet->reportBuffer,
                                             packet->reportBufferLen, record.report)) {
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  KIRQL irql = Lock();
  switch (VhidDevice_Write(&mini->state)) {
    case VHID_WRITE_REFUSED:
      Unlock(irql);
      return Complete(irp, STATUS_DELETE_PENDING, 0);
    case VHID_WRITE_HELD: {
      Unlock(irql);
      /* As a controller that answers NAK: nothing goes out, and the write ends only when the
       * stack gives up on it. */
      LARGE_INTEGER interval;
      interval.QuadPart = -10000LL * VHID_HELD_WRITE_MS;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      TRACE("device %u: held write failed\n", record.serial);
      return Complete(irp, STATUS_IO_TIMEOUT, 0);
    }
    case VHID_WRITE_TAKEN:
      break;
  }
  PIRP take = g_takeRequest;
  g_takeRequest = NULL;
  if (take != NULL && !Unpark(take)) take = NULL;
  if (take == NULL && !VhidOutputQueue_Push(&g_outputs, &record)) {
    Unlock(irql);
    return Complete(irp, STATUS_DEVICE_BUSY, 0);
  }
  Unlock(irql);
  TRACE("device %u: output report %s\n", record.serial, take != NULL ? "taken" : "queued");
  if (take != NULL) {
    RtlCopyMemory(take->AssociatedIrp.SystemBuffer, &record, sizeof(record));
    Complete(take, STATUS_SUCCESS, sizeof(record));
  }
  /* Windows reports the whole report, id byte included, as written. */
  return Complete(irp, STATUS_SUCCESS, VHID_REPORT_BYTES);
}

static NTSTATUS NTAPI InternalIoctl(PDEVICE_OBJECT fdo, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG outBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
  MiniExtension* mini = Mini(fdo);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case HID_GET_DEVICE_DESCRIPTOR:
      if (outBytes < VHID_HID_DESCRIPTOR_BYTES) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      VhidHidDescriptor((uint8_t*)irp->UserBuffer);
      return Complete(irp, STATUS_SUCCESS, VHID_HID_DESCRIPTOR_BYTES);
    case HID_GET_REPORT_DESCRIPTOR:
      if (outBytes < kVhidReportDescriptorBytes) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(irp->UserBuffer, kVhidReportDescriptor, kVhidReportDescriptorBytes);
      return Complete(irp, STATUS_SUCCESS, kVhidReportDescriptorBytes);
    case HID_GET_DEVICE_ATTRIBUTES: {
      if (outBytes < sizeof(HidDeviceAttributes)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      HidDeviceAttributes* attributes = (HidDeviceAttributes*)irp->UserBuffer;
      RtlZeroMemory(attributes, sizeof(*attributes));
      attributes->Size = sizeof(*attributes);
      attributes->VendorID = mini->state.vendorId;
      attributes->ProductID = mini->state.productId;
      attributes->VersionNumber = VHID_VERSION_NUMBER;
      return Complete(irp, STATUS_SUCCESS, sizeof(*attributes));
    }
    case HID_GET_STRING: {
      /* The string id is in the low word of the "input buffer" pointer itself. */
      const ULONG id =
          (ULONG)((ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF);
      const size_t chars = VhidDeviceString(id, mini->state.serial, (uint16_t*)irp->UserBuffer,
                                            outBytes / sizeof(WCHAR));
      if (chars == 0) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      return Complete(irp, STATUS_SUCCESS, chars * sizeof(WCHAR));
    }
    case HID_READ_REPORT:
      return ReadReport(fdo, irp, outBytes);
    case HID_WRITE_REPORT:
      return WriteReport(fdo, irp);
    default:
      return Complete(irp, STATUS_NOT_SUPPORTED, 0);
  }
}

/* Ends the device's report traffic: its pending read fails at once, later ones too. */
static void EndReports(MiniExtension* mini, BOOLEAN unlink) {
  TRACE("device %u: %s\n", mini->state.serial, unlink ? "removed" : "surprise removal");
  LIST_ENTRY settled;
  InitializeListHead(&settled);
  const KIRQL irql = Lock();
  VhidDevice_Remove(&mini->state);
  PIRP read = mini->pendingRead;
  mini->pendingRead = NULL;
  if (read != NULL && !Unpark(read)) read = NULL;
  if (unlink) VhidDeviceList_Unlink(&g_devices, &mini->state);
  CollectSettled(&settled);
  Unlock(irql);
  if (read != NULL) Complete(read, STATUS_DELETE_PENDING, 0);
  CompleteAll(&settled, STATUS_SUCCESS);
}

static NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(((HidDeviceExtension*)fdo->DeviceExtension)->NextDeviceObject, irp);
}

static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
      /* Wine sends this down the whole tree first; a read kept past it deadlocks winedevice. */
      EndReports(Mini(fdo), FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      /* hidclass frees our extension once this returns. */
      EndReports(Mini(fdo), TRUE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return PassDown(fdo, irp);
}

static NTSTATUS NTAPI Power(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(((HidDeviceExtension*)fdo->DeviceExtension)->NextDeviceObject, irp);
}

/* Asks the PnP manager's device for one of its ids; the caller frees it with ExFreePool. */
static NTSTATUS QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, PWCHAR* id) {
  KEVENT done;
  IO_STATUS_BLOCK io;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &done, &io);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_QUERY_ID;
  next->Parameters.QueryId.IdType = type;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = io.Status;
  }
  if (NT_SUCCESS(status)) *id = (PWCHAR)io.Information;
  return status;
}

/* The device's vendor id, product id and serial, from ROOT\VID_XXXX&PID_YYYY\NNNN. */
static NTSTATUS ReadIdentity(PDEVICE_OBJECT pdo, VhidDevice* state) {
  PWCHAR deviceId = NULL;
  PWCHAR instanceId = NULL;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint32_t serial = 0;
  NTSTATUS status = QueryId(pdo, BusQueryDeviceID, &deviceId);
  if (NT_SUCCESS(status)) status = QueryId(pdo, BusQueryInstanceID, &instanceId);
  if (NT_SUCCESS(status) &&
      !(VhidParseDeviceId((const uint16_t*)deviceId, wcslen(deviceId), &vendorId, &productId) &&
        VhidParseSerial((const uint16_t*)instanceId, wcslen(instanceId), &serial))) {
    status = STATUS_INVALID_PARAMETER;
  }
  if (deviceId != NULL) ExFreePool(deviceId);
  if (instanceId != NULL) ExFreePool(instanceId);
  if (NT_SUCCESS(status)) VhidDevice_Init(state, serial, vendorId, productId);
  return status;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
  (void)driver;
  MiniExtension* mini = Mini(fdo);
  const NTSTATUS status =
      ReadIdentity(((HidDeviceExtension*)fdo->DeviceExtension)->PhysicalDeviceObject, &mini->state);
  TRACE("device %u (%04x:%04x) added: %#lx\n", mini->state.serial, mini->state.vendorId,
        mini->state.productId, (unsigned long)status);
  if (!NT_SUCCESS(status)) return status;
  mini->pendingRead = NULL;
  const KIRQL irql = Lock();
  VhidDeviceList_Add(&g_devices, &mini->state);
  Unlock(irql);
  return STATUS_SUCCESS;
}

static NTSTATUS TakeOutput(PIRP irp, ULONG outBytes) {
  if (outBytes < sizeof(VhidOutputRecord)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  VhidOutputRecord record;
  const KIRQL irql = Lock();
  if (VhidOutputQueue_Pop(&g_outputs, &record)) {
    Unlock(irql);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &record, sizeof(record));
    return Complete(irp, STATUS_SUCCESS, sizeof(record));
  }
  if (g_takeRequest != NULL) {
    /* One reader at a time keeps the order of the reports. */
    Unlock(irql);
    TRACE("take %p refused: %p waits already\n", irp, g_takeRequest);
    return Complete(irp, STATUS_DEVICE_BUSY, 0);
  }
  if (!Park(irp, CancelTake)) {
    Unlock(irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  g_takeRequest = irp;
  Unlock(irql);
  TRACE("take %p waits\n", irp);
  return STATUS_PENDING;
}

static NTSTATUS PutInput(PIRP irp, ULONG inBytes) {
  if (inBytes != sizeof(VhidInputRecord)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  const VhidInputRecord* record = (const VhidInputRecord*)irp->AssociatedIrp.SystemBuffer;
  PIRP read = NULL;
  const KIRQL irql = Lock();
  VhidDevice* state = VhidDeviceList_Find(&g_devices, record->serial);
  VhidInputOutcome outcome =
      state == NULL ? VHID_INPUT_REFUSED : VhidDevice_Input(state, record->payload);
  if (outcome == VHID_INPUT_TO_READ) {
    MiniExtension* mini = CONTAINING_RECORD(state, MiniExtension, state);
    read = mini->pendingRead;
    mini->pendingRead = NULL;
    if (!Unpark(read)) {
      VhidDevice_ReadWithdrawn(state, record->payload);
      read = NULL;
    }
  }
  Unlock(irql);
  if (read != NULL) {
    const ULONG readBytes =
        IoGetCurrentIrpStackLocation(read)->Parameters.DeviceIoControl.OutputBufferLength;
    Complete(read, STATUS_SUCCESS,
             VhidReadFromInput(record->payload, (uint8_t*)read->UserBuffer, readBytes));
  }
  return Complete(irp, outcome == VHID_INPUT_REFUSED ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS, 0);
}

static NTSTATUS Stall(PIRP irp, ULONG inBytes) {
  if (inBytes != sizeof(uint32_t)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  const uint32_t serial = *(const uint32_t*)irp->AssociatedIrp.SystemBuffer;
  const KIRQL irql = Lock();
  VhidDevice* state = VhidDeviceList_Find(&g_devices, serial);
  if (state != NULL) VhidDevice_Stall(state);
  Unlock(irql);
  TRACE("device %u: takes no output reports\n", serial);
  return Complete(irp, state == NULL ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS, 0);
}

static NTSTATUS Settle(PIRP irp) {
  const KIRQL irql = Lock();
  if (VhidDeviceList_Settled(&g_devices)) {
    Unlock(irql);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  if (!Park(irp, CancelSettle)) {
    Unlock(irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  InsertTailList(&g_settleRequests, &irp->Tail.Overlay.ListEntry);
  Unlock(irql);
  return STATUS_PENDING;
}

/* The bridge's handle is going away: whatever it left waiting ends now, even where the system
 * does not cancel it. At the close, reports nobody will take are dropped (the next bridge can
 * tell its own by their serials, see VhidControl.h). */
static void ReleaseBridge(PFILE_OBJECT file, BOOLEAN closed) {
  LIST_ENTRY ended;
  InitializeListHead(&ended);
  const KIRQL irql = Lock();
  if (file != g_bridgeFile) {
    Unlock(irql);
    return;
  }
  TRACE("control device %s\n", closed ? "closed" : "cleaned up");
  PIRP take = g_takeRequest;
  g_takeRequest = NULL;
  if (take != NULL && Unpark(take)) InsertTailList(&ended, &take->Tail.Overlay.ListEntry);
  while (!IsListEmpty(&g_settleRequests)) {
    PLIST_ENTRY entry = RemoveHeadList(&g_settleRequests);
    if (Unpark(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry))) {
      InsertTailList(&ended, entry);
    } else {
      InitializeListHead(entry);
    }
  }
  if (closed) {
    g_bridgeFile = NULL;
    VhidOutputQueue_Clear(&g_outputs);
  }
  Unlock(irql);
  CompleteAll(&ended, STATUS_CANCELLED);
}

static NTSTATUS DispatchControl(PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      /* One bridge per prefix: a second one would take the first one's reports. Reports queued
       * before the open stay: a device that the bridge has just installed can be written to
       * before the bridge gets here. */
      const KIRQL irql = Lock();
      const BOOLEAN taken = g_bridgeFile != NULL;
      if (!taken) g_bridgeFile = stack->FileObject;
      Unlock(irql);
      TRACE("control device %s\n", taken ? "refused: taken" : "opened");
      return Complete(irp, taken ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS, 0);
    }
    case IRP_MJ_CLEANUP:
      ReleaseBridge(stack->FileObject, FALSE);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      ReleaseBridge(stack->FileObject, TRUE);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      if (stack->FileObject != g_bridgeFile) return Complete(irp, STATUS_SHARING_VIOLATION, 0);
      switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case VHID_IOCTL_CLAIM:
          return Complete(irp, STATUS_SUCCESS, 0);
        case VHID_IOCTL_TAKE_OUTPUT:
          return TakeOutput(irp, stack->Parameters.DeviceIoControl.OutputBufferLength);
        case VHID_IOCTL_PUT_INPUT:
          return PutInput(irp, stack->Parameters.DeviceIoControl.InputBufferLength);
        case VHID_IOCTL_SETTLE:
          return Settle(irp);
        case VHID_IOCTL_STALL:
          return Stall(irp, stack->Parameters.DeviceIoControl.InputBufferLength);
        default:
          return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device == g_control) return DispatchControl(irp);
  const PDRIVER_DISPATCH hidclass =
      g_hidclassDispatch[IoGetCurrentIrpStackLocation(irp)->MajorFunction];
  if (hidclass == NULL) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return hidclass(device, irp);
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  TRACE("unloaded\n");
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, VHID_CONTROL_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (g_control != NULL) IoDeleteDevice(g_control);
  g_control = NULL;
}

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
  UNICODE_STRING name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&name, VHID_CONTROL_DEVICE_NAME);
  RtlInitUnicodeString(&link, VHID_CONTROL_LINK_NAME);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &g_control);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_control);
    g_control = NULL;
    return status;
  }
  g_control->Flags |= DO_BUFFERED_IO;
  g_control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  TRACE("loaded\n");
  KeInitializeSpinLock(&g_lock);
  InitializeListHead(&g_settleRequests);
  VhidOutputQueue_Clear(&g_outputs);
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalIoctl;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;

  HidMinidriverRegistration registration;
  RtlZeroMemory(&registration, sizeof(registration));
  registration.Revision = HID_MINIDRIVER_REVISION;
  registration.DriverObject = driver;
  registration.RegistryPath = registryPath;
  registration.DeviceExtensionSize = sizeof(MiniExtension);
  registration.DevicesArePolled = FALSE;
  NTSTATUS status = HidRegisterMinidriver(&registration);
  if (!NT_SUCCESS(status)) return status;

  /* hidclass took over the dispatch table; the control device is ours alone, so every request
   * passes through Dispatch, which hands the HID devices' requests on to hidclass. */
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    g_hidclassDispatch[major] = driver->MajorFunction[major];
    driver->MajorFunction[major] = Dispatch;
  }
  return CreateControlDevice(driver);
}
