/* Who a virtual device is. The bridge names each device by its instance id,
 * ROOT\VID_XXXX&PID_YYYY\NNNN: hidclass turns the middle part into the interface path
 * \\?\hid#vid_xxxx&pid_yyyy#..., and the driver reads vendor id, product id and serial back from
 * the ids the PnP manager gives it. Portable C, used by the driver, the bridge and the tests. */
#ifndef KESTRO_VHID_IDENTITY_H
#define KESTRO_VHID_IDENTITY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  /* Serials are decimal, at least four digits, like Windows' own root device numbers. */
  VHID_MAX_SERIAL = 99999999u,
  /* "ROOT\VID_XXXX&PID_YYYY\" and up to eight digits, and the terminating NUL. */
  VHID_INSTANCE_ID_CHARS = 23 + 8 + 1
};

/* The one hardware id every virtual device carries; the INF's model names it. */
#define VHID_HARDWARE_ID "Root\\KestroVhid"

/* "ROOT\VID_XXXX&PID_YYYY\NNNN" into out (ASCII, NUL-terminated). 0 when the serial is out of
 * range or out is too small. */
size_t VhidFormatInstanceId(uint16_t vendorId, uint16_t productId, uint32_t serial, char* out,
                            size_t outChars);

/* The device id (the instance id without its last part), any enumerator, any letter case:
 * "ROOT\VID_XXXX&PID_YYYY". Ids are UTF-16 as the kernel gives them; chars excludes the NUL. */
int VhidParseDeviceId(const uint16_t* id, size_t chars, uint16_t* vendorId, uint16_t* productId);

/* The instance id's last part, "NNNN", as a serial (1 to VHID_MAX_SERIAL). */
int VhidParseSerial(const uint16_t* id, size_t chars, uint32_t* serial);

/* The USB string descriptors hidclass asks for: manufacturer, product, serial number. Wine asks
 * with ids 1/2/3, Windows with 14/15/16 (the HID_STRING_ID_* values). Writes a NUL-terminated
 * UTF-16 string and returns its length with the NUL; 0 for an unknown id or a short buffer. */
size_t VhidDeviceString(uint32_t stringId, uint32_t serial, uint16_t* out, size_t outChars);

#ifdef __cplusplus
}
#endif

#endif
