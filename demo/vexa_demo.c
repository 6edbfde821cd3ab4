/*
 * A tour of libvexa: list the attached channels, show a channel's device
 * information, configure its line, send a few kilobytes and read them back
 * (the simulated chips of scripts/demo.sh loop their output back to their
 * input), program the EEPROM and read it back, and round-trip the user area.
 */
#include <stdio.h>
#include <string.h>

#include "vexa.h"

static int fail(const char *what, KX_STATUS status) {
  fprintf(stderr, "%s failed with status %u\n", what, (unsigned)status);
  return 1;
}

static void list_channels(uint32_t count) {
  printf("%u channel(s) attached\n", (unsigned)count);
  for (uint32_t i = 0; i < count; ++i) {
    char serial[258] = "", description[258] = "";
    KX_ListDevices((void *)(uintptr_t)i, serial, KX_LIST_INDEXED | KX_MATCH_SERIAL);
    KX_ListDevices((void *)(uintptr_t)i, description, KX_LIST_INDEXED | KX_MATCH_DESCRIPTION);
    printf("  %u: serial \"%s\", description \"%s\"\n", (unsigned)i, serial, description);
  }
}

static void show_info(KX_HANDLE handle) {
  unsigned long type = 0, id = 0, modem = 0;
  char serial[19] = "", description[67] = "";
  unsigned char latency = 0;
  KX_GetDeviceInfo(handle, &type, &id, serial, description, NULL);
  KX_GetModemStatus(handle, &modem);
  KX_STATUS latency_status = KX_GetLatencyTimer(handle, &latency);
  printf("device type %lu, id %04lx:%04lx, serial \"%s\", description \"%s\"\n", type,
         id >> 16, id & 0xFFFF, serial, description);
  printf("modem status 0x%02lx, latency timer %s%u ms\n", modem,
         latency_status == KX_OK ? "" : "(unsupported) ", (unsigned)latency);
}

static KX_STATUS configure(KX_HANDLE handle) {
  KX_STATUS status = KX_SetBaudRate(handle, 115200);
  if (status == KX_OK)
    status = KX_SetDataCharacteristics(handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE);
  if (status == KX_OK) status = KX_SetFlowControl(handle, KX_FLOW_RTS_CTS, 0, 0);
  if (status == KX_OK) printf("line set to 115200 baud, 8N1, RTS/CTS\n");
  return status;
}

static int loopback(KX_HANDLE handle) {
  static unsigned char out[8192], in[8192];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = (unsigned char)(i * 7 + 3);
  uint32_t written = 0, received = 0;
  KX_SetTimeouts(handle, 2000, 0);
  KX_STATUS status = KX_Write(handle, out, sizeof out, &written);
  if (status == KX_OK) status = KX_Read(handle, in, sizeof in, &received);
  if (status != KX_OK) return fail("the loopback transfer", status);
  int intact = written == sizeof out && received == sizeof in && memcmp(out, in, sizeof in) == 0;
  printf("sent %u bytes, received %u bytes back: %s\n", (unsigned)written, (unsigned)received,
         intact ? "intact" : "CORRUPTED");
  return intact ? 0 : 1;
}

static int eeprom(KX_HANDLE handle) {
  KX_PROGRAM_DATA data = {0};
  data.marker_ones = 0xFFFFFFFF;
  data.vendor_id = 0x0403;
  data.product_id = 0x6010;
  data.manufacturer = "Vexa";
  data.manufacturer_id = "VX";
  data.description = "Demo bridge";
  data.serial_number = NULL; /* generated */
  data.max_power = 100;
  data.plug_and_play = 1;
  KX_STATUS status = KX_EE_Program(handle, &data);
  if (status != KX_OK) return fail("KX_EE_Program", status);

  char manufacturer[64], prefix[64], description[64], serial[64];
  KX_PROGRAM_DATA back = {0};
  back.marker_ones = 0xFFFFFFFF;
  back.manufacturer = manufacturer;
  back.manufacturer_id = prefix;
  back.description = description;
  back.serial_number = serial;
  status = KX_EE_Read(handle, &back);
  if (status != KX_OK) return fail("KX_EE_Read", status);
  printf("EEPROM programmed and read back: \"%s\" \"%s\", serial %s, %u mA\n", manufacturer,
         description, serial, (unsigned)back.max_power);

  uint32_t size = 0, got = 0;
  const char note[] = "calibration=42";
  uint8_t buffer[128] = {0};
  if ((status = KX_EE_UASize(handle, &size)) != KX_OK) return fail("KX_EE_UASize", status);
  if ((status = KX_EE_UAWrite(handle, (const uint8_t *)note, sizeof note)) != KX_OK)
    return fail("KX_EE_UAWrite", status);
  if ((status = KX_EE_UARead(handle, buffer, sizeof note, &got)) != KX_OK)
    return fail("KX_EE_UARead", status);
  printf("user area of %u bytes holds \"%s\"\n", (unsigned)size, (const char *)buffer);
  return got == sizeof note && memcmp(buffer, note, sizeof note) == 0 ? 0 : 1;
}

int main(void) {
  uint32_t count = 0;
  KX_STATUS status = KX_ListDevices(&count, NULL, KX_LIST_COUNT);
  if (status != KX_OK) return fail("KX_ListDevices", status);
  list_channels(count);
  if (count == 0) return 0;

  char first[258] = "";
  KX_ListDevices((void *)(uintptr_t)0, first, KX_LIST_INDEXED | KX_MATCH_SERIAL);
  KX_HANDLE handle = NULL;
  status = KX_OpenEx(first, KX_MATCH_SERIAL, &handle);
  if (status != KX_OK) return fail("KX_OpenEx", status);
  printf("opened \"%s\"\n", first);
  show_info(handle);

  int failed = configure(handle) != KX_OK;
  if (!failed) failed = loopback(handle);
  if (!failed) failed = eeprom(handle);
  KX_Close(handle);
  return failed;
}
