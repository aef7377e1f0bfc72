#include "vhid/VhidIdentity.h"

static const char kHexDigits[] = "0123456789ABCDEF";

static int HexValue(uint16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static uint16_t Upper(uint16_t c) { return (c >= 'a' && c <= 'z') ? (uint16_t)(c - 'a' + 'A') : c; }

/* Matches an ASCII word, letter case ignored. */
static int Matches(const uint16_t* text, const char* word) {
  for (; *word != '\0'; ++word, ++text) {
    if (Upper(*text) != (uint16_t)*word) return 0;
  }
  return 1;
}

static int ParseHex16(const uint16_t* text, uint16_t* value) {
  unsigned result = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return 0;
    result = result * 16 + (unsigned)digit;
  }
  *value = (uint16_t)result;
  return 1;
}

static size_t AppendText(char* out, size_t at, const char* text) {
  while (*text != '\0') out[at++] = *text++;
  return at;
}

static size_t AppendHex16(char* out, size_t at, uint16_t value) {
  for (int shift = 12; shift >= 0; shift -= 4) out[at++] = kHexDigits[(value >> shift) & 0xF];
  return at;
}

/* Decimal, at least four digits; the caller keeps serials within VHID_MAX_SERIAL (8 digits). */
static size_t AppendSerial(char* out, size_t at, uint32_t serial) {
  char digits[8];
  int count = 0;
  for (uint32_t rest = serial; (rest != 0 || count < 4) && count < 8; rest /= 10) {
    digits[count++] = (char)('0' + rest % 10);
  }
  while (count > 0) out[at++] = digits[--count];
  return at;
}

size_t VhidFormatInstanceId(uint16_t vendorId, uint16_t productId, uint32_t serial, char* out,
                            size_t outChars) {
  if (serial == 0 || serial > VHID_MAX_SERIAL || out == NULL || outChars < VHID_INSTANCE_ID_CHARS) {
    return 0;
  }
  size_t at = AppendText(out, 0, "ROOT\\VID_");
  at = AppendHex16(out, at, vendorId);
  at = AppendText(out, at, "&PID_");
  at = AppendHex16(out, at, productId);
  out[at++] = '\\';
  at = AppendSerial(out, at, serial);
  out[at] = '\0';
  return at;
}

int VhidParseDeviceId(const uint16_t* id, size_t chars, uint16_t* vendorId, uint16_t* productId) {
  /* Only the part after the enumerator counts: "VID_XXXX&PID_YYYY", exactly. */
  static const size_t kTailChars = 17;
  size_t start = chars;
  while (start > 0 && id[start - 1] != '\\') --start;
  if (start == 0 || chars - start != kTailChars) return 0;
  const uint16_t* tail = id + start;
  return Matches(tail, "VID_") && ParseHex16(tail + 4, vendorId) && Matches(tail + 8, "&PID_") &&
         ParseHex16(tail + 13, productId);
}

int VhidParseSerial(const uint16_t* id, size_t chars, uint32_t* serial) {
  if (chars == 0 || chars > 8) return 0;
  uint32_t value = 0;
  for (size_t i = 0; i < chars; ++i) {
    if (id[i] < '0' || id[i] > '9') return 0;
    value = value * 10 + (uint32_t)(id[i] - '0');
  }
  if (value == 0) return 0;
  *serial = value;
  return 1;
}

size_t VhidDeviceString(uint32_t stringId, uint32_t serial, uint16_t* out, size_t outChars) {
  char text[16];
  const char* chosen = NULL;
  switch (stringId) {
    case 1:
    case 14:
      chosen = "Kestro";
      break;
    case 2:
    case 15:
      chosen = "Kestro virtual controller";
      break;
    case 3:
    case 16:
      /* The serial number is the instance's own, so two devices never share one. */
      if (serial > VHID_MAX_SERIAL) return 0;
      text[AppendSerial(text, 0, serial)] = '\0';
      chosen = text;
      break;
    default:
      return 0;
  }
  size_t length = 0;
  while (chosen[length] != '\0') ++length;
  if (out == NULL || outChars < length + 1) return 0;
  for (size_t i = 0; i < length; ++i) out[i] = (uint16_t)chosen[i];
  out[length] = 0;
  return length + 1;
}
