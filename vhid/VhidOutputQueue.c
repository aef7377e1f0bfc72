#include "vhid/VhidOutputQueue.h"

#include <string.h>

void VhidOutputQueue_Clear(VhidOutputQueue* queue) {
  queue->head = 0;
  queue->count = 0;
}

int VhidOutputQueue_Push(VhidOutputQueue* queue, const VhidOutputRecord* record) {
  if (queue->count == VHID_OUTPUT_QUEUE_LIMIT) return 0;
  const unsigned tail = (queue->head + queue->count) % VHID_OUTPUT_QUEUE_LIMIT;
  memcpy(&queue->records[tail], record, sizeof(*record));
  ++queue->count;
  return 1;
}

int VhidOutputQueue_Pop(VhidOutputQueue* queue, VhidOutputRecord* record) {
  if (queue->count == 0) return 0;
  memcpy(record, &queue->records[queue->head], sizeof(*record));
  queue->head = (queue->head + 1) % VHID_OUTPUT_QUEUE_LIMIT;
  --queue->count;
  return 1;
}
