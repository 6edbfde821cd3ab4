/*
 * A short tour of libvexa: list the attached channels, open one by serial
 * number, configure the line, send a few kilobytes and read them back (the
 * simulated chips of scripts/demo.sh loop their output back to their input).
 */
#include <stdio.h>
#include <string.h>

#include "vexa.h"

static int fail(const char *what, KX_STATUS status) {
  fprintf(stderr, "%s failed with status %u\n", what, (unsigned)status);
  return 1;
}

int main(void) {
  uint32_t count = 0;
  KX_STATUS status = KX_ListDevices(&count, NULL, KX_LIST_COUNT);
  if (status != KX_OK) return fail("KX_ListDevices", status);
  printf("%u channel(s) attached\n", (unsigned)count);
  for (uint32_t i = 0; i < count; ++i) {
    char serial[258] = "", description[258] = "";
    KX_ListDevices((void *)(uintptr_t)i, serial, KX_LIST_INDEXED | KX_MATCH_SERIAL);
    KX_ListDevices((void *)(uintptr_t)i, description, KX_LIST_INDEXED | KX_MATCH_DESCRIPTION);
    printf("  %u: serial \"%s\", description \"%s\"\n", (unsigned)i, serial, description);
  }
  if (count == 0) return 0;

  char first[258] = "";
  KX_ListDevices((void *)(uintptr_t)0, first, KX_LIST_INDEXED | KX_MATCH_SERIAL);
  KX_HANDLE handle = NULL;
  status = KX_OpenEx(first, KX_MATCH_SERIAL, &handle);
  if (status != KX_OK) return fail("KX_OpenEx", status);
  printf("opened \"%s\"\n", first);

  if ((status = KX_SetBaudRate(handle, 115200)) != KX_OK ||
      (status = KX_SetDataCharacteristics(handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE)) != KX_OK ||
      (status = KX_SetFlowControl(handle, KX_FLOW_RTS_CTS, 0, 0)) != KX_OK) {
    KX_Close(handle);
    return fail("configuring the line", status);
  }
  printf("line set to 115200 baud, 8N1, RTS/CTS\n");

  static unsigned char out[8192], in[8192];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = (unsigned char)(i * 7 + 3);
  uint32_t written = 0, received = 0;
  KX_SetTimeouts(handle, 2000, 0);
  status = KX_Write(handle, out, sizeof out, &written);
  if (status == KX_OK) status = KX_Read(handle, in, sizeof in, &received);
  KX_Close(handle);
  if (status != KX_OK) return fail("the loopback transfer", status);
  int intact = written == sizeof out && received == sizeof in && memcmp(out, in, sizeof in) == 0;
  printf("sent %u bytes, received %u bytes back: %s\n", (unsigned)written, (unsigned)received,
         intact ? "intact" : "CORRUPTED");
  return intact ? 0 : 1;
}
