#include "vhid/VhidReport.h"

#include <string.h>

/* Vendor page 0xFF00, usage 1: no system driver (mouse, keyboard, game input) claims it, so
 * only programs that open the device by path see it, as with the real controller. */
/* clang-format off */
const uint8_t kVhidReportDescriptor[] = {
    0x06, 0x00, 0xFF,          /* Usage Page (0xFF00) */
    0x09, 0x01,                /* Usage (1) */
    0xA1, 0x01,                /* Collection (Application) */
    0x15, 0x00,                /*   Logical Minimum (0) */
    0x26, 0xFF, 0x00,          /*   Logical Maximum (255) */
    0x75, 0x08,                /*   Report Size (8) */
    0x95, VHID_PAYLOAD_BYTES,  /*   Report Count (64) */
    0x09, 0x01,                /*   Usage (1) */
    0x81, 0x02,                /*   Input (Data, Variable, Absolute) */
    0x95, VHID_PAYLOAD_BYTES,  /*   Report Count (64) */
    0x09, 0x01,                /*   Usage (1) */
    0x91, 0x02,                /*   Output (Data, Variable, Absolute) */
    0xC0,                      /* End Collection */
};
/* clang-format on */
const size_t kVhidReportDescriptorBytes = sizeof(kVhidReportDescriptor);

void VhidHidDescriptor(uint8_t out[VHID_HID_DESCRIPTOR_BYTES]) {
  out[0] = VHID_HID_DESCRIPTOR_BYTES; /* bLength */
  out[1] = 0x21;                      /* HID descriptor */
  out[2] = 0x11;                      /* bcdHID 1.11 */
  out[3] = 0x01;
  out[4] = 0x00;                                         /* no country */
  out[5] = 0x01;                                         /* one class descriptor: */
  out[6] = 0x22;                                         /* the report descriptor, */
  out[7] = (uint8_t)(kVhidReportDescriptorBytes & 0xFF); /* of this many bytes */
  out[8] = (uint8_t)(kVhidReportDescriptorBytes >> 8);
}

int VhidOutputFromWrite(uint8_t reportId, const uint8_t* buffer, size_t bufferBytes,
                        uint8_t out[VHID_REPORT_BYTES]) {
  if (buffer == NULL || reportId != 0) return 0;
  if (bufferBytes == VHID_REPORT_BYTES && buffer[0] == reportId) {
    memcpy(out, buffer, VHID_REPORT_BYTES);
    return 1;
  }
  if (bufferBytes == VHID_PAYLOAD_BYTES) {
    out[0] = reportId;
    memcpy(out + 1, buffer, VHID_PAYLOAD_BYTES);
    return 1;
  }
  return 0;
}

size_t VhidReadFromInput(const uint8_t payload[VHID_PAYLOAD_BYTES], uint8_t* buffer,
                         size_t bufferBytes) {
  if (buffer == NULL || bufferBytes < VHID_PAYLOAD_BYTES) return 0;
  memcpy(buffer, payload, VHID_PAYLOAD_BYTES);
  return VHID_PAYLOAD_BYTES;
}
