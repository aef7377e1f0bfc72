/* What one virtual device does with reports, apart from the kernel's request plumbing: the
 * inputs that wait for hidclass's next read, the one read hidclass keeps pending, and removal.
 * The driver holds its lock around every call and completes the requests these calls name.
 * Portable C, tested natively. */
#ifndef KESTRO_VHID_DEVICE_H
#define KESTRO_VHID_DEVICE_H

#include <stdint.h>

#include "vhid/VhidReport.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  /* hidclass takes each report at once and reads again, so inputs wait here only for that gap
   * or a burst. Beyond this the oldest is dropped, as hidclass does for each handle (32). */
  VHID_INPUT_QUEUE_LIMIT = 64
};

typedef struct VhidDevice {
  struct VhidDevice* next; /* in its VhidDeviceList */
  uint32_t serial;
  uint16_t vendorId;
  uint16_t productId;
  int readPending; /* hidclass's read request waits for an input */
  int removed;     /* surprise removal or removal has begun: no more reports either way */
  int stalled;     /* takes no output reports any more (every write is answered with NAK) */
  unsigned queueHead;
  unsigned queueCount;
  uint8_t queue[VHID_INPUT_QUEUE_LIMIT][VHID_PAYLOAD_BYTES];
  uint32_t droppedInputs;
} VhidDevice;

void VhidDevice_Init(VhidDevice* device, uint32_t serial, uint16_t vendorId, uint16_t productId);

typedef enum {
  VHID_READ_NOW,   /* payload filled: complete the read with it */
  VHID_READ_PENDS, /* nothing queued: keep the read until an input comes */
  VHID_READ_FAILS  /* the device is going away: fail it with STATUS_DELETE_PENDING */
} VhidReadOutcome;
VhidReadOutcome VhidDevice_Read(VhidDevice* device, uint8_t payload[VHID_PAYLOAD_BYTES]);

typedef enum {
  VHID_INPUT_TO_READ, /* complete the pending read with this payload */
  VHID_INPUT_QUEUED,
  VHID_INPUT_REFUSED /* the device is going away */
} VhidInputOutcome;
VhidInputOutcome VhidDevice_Input(VhidDevice* device, const uint8_t payload[VHID_PAYLOAD_BYTES]);

/* The pending read was withdrawn (cancelled) rather than completed. When an input had already
 * been given to it, that input goes back to the front of the queue. undelivered may be NULL. */
void VhidDevice_ReadWithdrawn(VhidDevice* device, const uint8_t* undelivered);

/* The device is being removed: queued inputs are dropped and reads fail from now on. Returns 1
 * when a pending read must be failed now; a minidriver that keeps it deadlocks Wine's removal. */
int VhidDevice_Remove(VhidDevice* device);

/* What becomes of a program's write to the device. */
typedef enum {
  VHID_WRITE_TAKEN,  /* goes out to the bridge */
  VHID_WRITE_HELD,   /* held as a device that NAKs holds it, then failed */
  VHID_WRITE_REFUSED /* the device is going away */
} VhidWriteOutcome;
VhidWriteOutcome VhidDevice_Write(const VhidDevice* device);

/* From now on the device takes no output reports. */
void VhidDevice_Stall(VhidDevice* device);

/* Nothing is left for hidclass to take and hidclass waits for more (or the device is gone). */
int VhidDevice_Settled(const VhidDevice* device);

/* The devices of the driver, in the order they were added. */
typedef struct VhidDeviceList {
  VhidDevice* first;
} VhidDeviceList;

void VhidDeviceList_Add(VhidDeviceList* list, VhidDevice* device);
void VhidDeviceList_Unlink(VhidDeviceList* list, VhidDevice* device);
/* The present device with that serial; NULL when none (or it is being removed). */
VhidDevice* VhidDeviceList_Find(const VhidDeviceList* list, uint32_t serial);
int VhidDeviceList_Settled(const VhidDeviceList* list);

#ifdef __cplusplus
}
#endif

#endif
