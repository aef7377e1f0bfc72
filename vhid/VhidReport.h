/* The virtual controller's reports as hidclass sees them: one 64-byte input and one 64-byte
 * output report, no report ids, on a vendor-defined usage page. Portable C: the driver and the
 * native tests build it alike. */
#ifndef KESTRO_VHID_REPORT_H
#define KESTRO_VHID_REPORT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  VHID_PAYLOAD_BYTES = 64,
  /* What a program reads and writes: the report id (always 0 here) and the payload. */
  VHID_REPORT_BYTES = VHID_PAYLOAD_BYTES + 1,
  /* A HID class descriptor with one report descriptor behind it. */
  VHID_HID_DESCRIPTOR_BYTES = 9
};

extern const uint8_t kVhidReportDescriptor[];
extern const size_t kVhidReportDescriptorBytes;

/* The HID descriptor that announces kVhidReportDescriptor. */
void VhidHidDescriptor(uint8_t out[VHID_HID_DESCRIPTOR_BYTES]);

/* A write-report request's buffer as the 65-byte form the device link carries. hidclass hands
 * either the whole report (report id first) or the payload alone with the id beside it; both are
 * accepted. 0 when the buffer is neither. */
int VhidOutputFromWrite(uint8_t reportId, const uint8_t* buffer, size_t bufferBytes,
                        uint8_t out[VHID_REPORT_BYTES]);

/* Fills a read-report buffer from one payload: a device without report ids delivers the payload
 * alone (hidclass puts report id 0 in front). Returns the bytes written, 0 when the buffer cannot
 * hold a report. */
size_t VhidReadFromInput(const uint8_t payload[VHID_PAYLOAD_BYTES], uint8_t* buffer,
                         size_t bufferBytes);

#ifdef __cplusplus
}
#endif

#endif
