#include "vhid/VhidDevice.h"

#include <string.h>

void VhidDevice_Init(VhidDevice* device, uint32_t serial, uint16_t vendorId, uint16_t productId) {
  memset(device, 0, sizeof(*device));
  device->serial = serial;
  device->vendorId = vendorId;
  device->productId = productId;
}

static void PopFront(VhidDevice* device, uint8_t payload[VHID_PAYLOAD_BYTES]) {
  memcpy(payload, device->queue[device->queueHead], VHID_PAYLOAD_BYTES);
  device->queueHead = (device->queueHead + 1) % VHID_INPUT_QUEUE_LIMIT;
  --device->queueCount;
}

static void PushBack(VhidDevice* device, const uint8_t payload[VHID_PAYLOAD_BYTES]) {
  if (device->queueCount == VHID_INPUT_QUEUE_LIMIT) {
    uint8_t dropped[VHID_PAYLOAD_BYTES];
    PopFront(device, dropped);
    ++device->droppedInputs;
  }
  const unsigned tail = (device->queueHead + device->queueCount) % VHID_INPUT_QUEUE_LIMIT;
  memcpy(device->queue[tail], payload, VHID_PAYLOAD_BYTES);
  ++device->queueCount;
}

VhidWriteOutcome VhidDevice_Write(const VhidDevice* device) {
  if (device->removed) return VHID_WRITE_REFUSED;
  return device->stalled ? VHID_WRITE_HELD : VHID_WRITE_TAKEN;
}

void VhidDevice_Stall(VhidDevice* device) { device->stalled = 1; }

VhidReadOutcome VhidDevice_Read(VhidDevice* device, uint8_t payload[VHID_PAYLOAD_BYTES]) {
  if (device->removed) return VHID_READ_FAILS;
  if (device->queueCount > 0) {
    PopFront(device, payload);
    return VHID_READ_NOW;
  }
  device->readPending = 1;
  return VHID_READ_PENDS;
}

VhidInputOutcome VhidDevice_Input(VhidDevice* device, const uint8_t payload[VHID_PAYLOAD_BYTES]) {
  if (device->removed) return VHID_INPUT_REFUSED;
  if (device->readPending) {
    device->readPending = 0;
    return VHID_INPUT_TO_READ;
  }
  PushBack(device, payload);
  return VHID_INPUT_QUEUED;
}

void VhidDevice_ReadWithdrawn(VhidDevice* device, const uint8_t* undelivered) {
  device->readPending = 0;
  if (undelivered == NULL || device->removed) return;
  /* It is older than everything queued: it goes in front, and the newest gives way if full. */
  if (device->queueCount == VHID_INPUT_QUEUE_LIMIT) {
    --device->queueCount;
    ++device->droppedInputs;
  }
  device->queueHead = (device->queueHead + VHID_INPUT_QUEUE_LIMIT - 1) % VHID_INPUT_QUEUE_LIMIT;
  memcpy(device->queue[device->queueHead], undelivered, VHID_PAYLOAD_BYTES);
  ++device->queueCount;
}

int VhidDevice_Remove(VhidDevice* device) {
  const int failPendingRead = device->readPending;
  device->removed = 1;
  device->readPending = 0;
  device->queueHead = 0;
  device->queueCount = 0;
  return failPendingRead;
}

int VhidDevice_Settled(const VhidDevice* device) {
  return device->removed || (device->readPending && device->queueCount == 0);
}

void VhidDeviceList_Add(VhidDeviceList* list, VhidDevice* device) {
  VhidDevice** link = &list->first;
  while (*link != NULL) link = &(*link)->next;
  device->next = NULL;
  *link = device;
}

void VhidDeviceList_Unlink(VhidDeviceList* list, VhidDevice* device) {
  for (VhidDevice** link = &list->first; *link != NULL; link = &(*link)->next) {
    if (*link == device) {
      *link = device->next;
      device->next = NULL;
      return;
    }
  }
}

VhidDevice* VhidDeviceList_Find(const VhidDeviceList* list, uint32_t serial) {
  for (VhidDevice* device = list->first; device != NULL; device = device->next) {
    if (device->serial == serial && !device->removed) return device;
  }
  return NULL;
}

int VhidDeviceList_Settled(const VhidDeviceList* list) {
  for (const VhidDevice* device = list->first; device != NULL; device = device->next) {
    if (!VhidDevice_Settled(device)) return 0;
  }
  return 1;
}
