/* Output reports that programs wrote and the bridge has not taken yet, oldest first, across all
 * devices. hidclass waits for each write in its one dispatch thread, so a write is never held
 * back for the bridge: it is queued and completed at once. Portable C, tested natively. */
#ifndef KESTRO_VHID_OUTPUT_QUEUE_H
#define KESTRO_VHID_OUTPUT_QUEUE_H

#include "vhid/VhidControl.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  /* An update writes one report and waits for the answer; this only fills up when no bridge
   * reads, and then writes fail instead of being lost unseen. */
  VHID_OUTPUT_QUEUE_LIMIT = 1024
};

typedef struct VhidOutputQueue {
  unsigned head;
  unsigned count;
  VhidOutputRecord records[VHID_OUTPUT_QUEUE_LIMIT];
} VhidOutputQueue;

void VhidOutputQueue_Clear(VhidOutputQueue* queue);
/* 0 when full. */
int VhidOutputQueue_Push(VhidOutputQueue* queue, const VhidOutputRecord* record);
/* 0 when empty. */
int VhidOutputQueue_Pop(VhidOutputQueue* queue, VhidOutputRecord* record);

#ifdef __cplusplus
}
#endif

#endif
