/* The driver's control device: how kestro-vhid.exe hands input reports to the virtual devices
 * and takes the output reports that programs write to them. Shared by the driver (C), the
 * bridge (C++) and the native tests, so it holds fixed-size types and plain numbers only.
 *
 * A device is named by its serial: the last part of its instance id ROOT\VID_XXXX&PID_YYYY\NNNN,
 * which the bridge chooses and the driver reads back from the PnP manager. Output reports queue
 * up while no bridge has the control device open; some may come from devices that an earlier
 * bridge left behind. A bridge numbers its devices above those and ignores serials not its own. */
#ifndef KESTRO_VHID_CONTROL_H
#define KESTRO_VHID_CONTROL_H

#include <stdint.h>

#include "vhid/VhidReport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel name and user-mode path of the control device. */
#define VHID_CONTROL_DEVICE_NAME L"\\Device\\KestroVhid"
#define VHID_CONTROL_LINK_NAME L"\\DosDevices\\KestroVhid"
#define VHID_CONTROL_PATH L"\\\\.\\KestroVhid"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS), spelled out so
 * that the native build needs no Windows header. */
#define VHID_CONTROL_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))

/* No buffers. Succeeds for the bridge that opened the control device first; every request of
 * another fails with STATUS_SHARING_VIOLATION (Wine opens the file all the same). */
#define VHID_IOCTL_CLAIM VHID_CONTROL_CODE(0x800)
/* Output: a VhidOutputRecord. Waits until a program has written a report to any device. */
#define VHID_IOCTL_TAKE_OUTPUT VHID_CONTROL_CODE(0x801)
/* Input: a VhidInputRecord. Queues one input report on that device; fails with
 * STATUS_NO_SUCH_DEVICE when the device is gone (the report reaches nobody). */
#define VHID_IOCTL_PUT_INPUT VHID_CONTROL_CODE(0x802)
/* No buffers. Completes once every device has handed its queued input to hidclass and hidclass
 * waits for the next one, i.e. every report put before has reached the open handles. */
#define VHID_IOCTL_SETTLE VHID_CONTROL_CODE(0x803)

/* Input: a uint32_t serial. The device takes no output reports from now on: each program's write
 * to it is held for VHID_HELD_WRITE_MS and then fails. STATUS_NO_SUCH_DEVICE when it is gone. */
#define VHID_IOCTL_STALL VHID_CONTROL_CODE(0x804)
/* How long a stalled device holds a write, as Linux's hidraw gives up on a USB device that
 * answers NAK after 5 s. Wine's hidclass hands a write to the minidriver synchronously, so the
 * program's WriteFile and every other request to the driver's process wait meanwhile: longer
 * than the program's own write bound, short enough to leave the stack usable. */
#define VHID_HELD_WRITE_MS 3000

typedef struct VhidInputRecord {
  uint32_t serial;
  uint8_t payload[VHID_PAYLOAD_BYTES];
} VhidInputRecord;

typedef struct VhidOutputRecord {
  uint32_t serial;
  uint8_t report[VHID_REPORT_BYTES]; /* byte 0 is the report id, 0 */
  uint8_t reserved[3];
} VhidOutputRecord;

#ifdef __cplusplus
}
#endif

#endif
