/*
 * serial_echo: lists the attached channels, opens one by serial number,
 * configures it for 115200 baud 8N1 with RTS/CTS flow control, writes a
 * message and reads the answer with a time-out.
 *
 *   serial_echo [SERIAL [MESSAGE]]
 *
 * Without SERIAL the first listed channel is used. With a loopback plug (or
 * under "vexa-sim --chip r4,loopback=1") the message comes back.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vexa.h>

static int fail(const char *what, KX_STATUS status) {
  fprintf(stderr, "serial_echo: %s failed with status %u\n", what, (unsigned)status);
  return 1;
}

int main(int argc, char **argv) {
  uint32_t count = 0;
  KX_STATUS status = KX_ListDevices(&count, NULL, KX_LIST_COUNT);
  if (status != KX_OK) return fail("counting channels", status);
  printf("%u channel(s)\n", (unsigned)count);

  char serial[258] = "";
  for (uint32_t i = 0; i < count; ++i) {
    char text[258];
    if (KX_ListDevices((void *)(uintptr_t)i, text, KX_LIST_INDEXED | KX_MATCH_SERIAL) != KX_OK) continue;
    printf("  %u: %s\n", (unsigned)i, text);
    if (serial[0] == '\0') strcpy(serial, text);
  }
  if (argc > 1) snprintf(serial, sizeof serial, "%s", argv[1]);
  if (serial[0] == '\0') {
    fprintf(stderr, "serial_echo: no channel to open\n");
    return 1;
  }

  KX_HANDLE handle = NULL;
  status = KX_OpenEx(serial, KX_MATCH_SERIAL, &handle);
  if (status != KX_OK) return fail("opening", status);

  const char *message = argc > 2 ? argv[2] : "hello";
  const uint32_t length = (uint32_t)strlen(message);
  char *answer = calloc(length + 1, 1);
  uint32_t done = 0;
  int rc = 0;
  if (!answer) {
    rc = fail("allocating", KX_ERR_RESOURCES);
  } else if ((status = KX_SetBaudRate(handle, 115200)) != KX_OK) {
    rc = fail("setting the baud rate", status);
  } else if ((status = KX_SetDataCharacteristics(handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE)) != KX_OK) {
    rc = fail("setting 8N1", status);
  } else if ((status = KX_SetFlowControl(handle, KX_FLOW_RTS_CTS, 0, 0)) != KX_OK) {
    rc = fail("setting RTS/CTS", status);
  } else if ((status = KX_SetTimeouts(handle, 1000, 1000)) != KX_OK) {
    rc = fail("setting time-outs", status);
  } else if ((status = KX_Write(handle, message, length, &done)) != KX_OK) {
    rc = fail("writing", status);
  } else {
    printf("sent %u bytes to %s\n", (unsigned)done, serial);
    /* A time-out reports KX_ERR_IO with the bytes that did arrive. */
    status = KX_Read(handle, answer, length, &done);
    if (status == KX_OK || status == KX_ERR_IO) {
      printf("received %u bytes: %.*s\n", (unsigned)done, (int)done, answer);
      if (status != KX_OK) rc = fail("reading (time-out)", status);
    } else {
      rc = fail("reading", status);
    }
  }
  free(answer);
  KX_Close(handle);
  return rc;
}
