/*
 * An application's own test, run against simulated chips instead of
 * hardware: the program links the simulated libusb before libvexa (the
 * vexa-sim pkg-config file does that), attaches a chip through vexa_sim.h,
 * and checks what the application code under test did on the wire.
 *
 *   cc app_test.c $(pkg-config --cflags --libs vexa-sim) -o app_test && ./app_test
 *
 * Exit status 0 when every check passes; each failure prints one line.
 */
#include <stdio.h>
#include <string.h>
#include <vexa.h>
#include <vexa_sim.h>

static int failures = 0;

#define CHECK(condition)                                             \
  do {                                                               \
    if (!(condition)) {                                              \
      printf("FAILED line %d: %s\n", __LINE__, #condition);          \
      ++failures;                                                    \
    }                                                                \
  } while (0)

/* The "application code under test": greets the device at 9600 baud and
 * returns how many reply bytes came back within 500 ms. */
static KX_STATUS greet(KX_HANDLE handle, char *reply, uint32_t size, uint32_t *got) {
  uint32_t written = 0;
  KX_STATUS status = KX_SetBaudRate(handle, 9600);
  if (status == KX_OK) status = KX_Write(handle, "hello", 5, &written);
  if (status == KX_OK) status = KX_SetTimeouts(handle, 500, 500);
  if (status == KX_OK) status = KX_Read(handle, reply, size, got);
  return status;
}

int main(void) {
  vexa_sim_chip_config config = {0};
  config.serial = "APP0001";
  config.product = "Device under test";
  config.eeprom_words = 64;
  int chip = vexa_sim_add_chip(&config);
  CHECK(chip == 0);

  KX_HANDLE handle = NULL;
  CHECK(KX_OpenEx("APP0001", KX_MATCH_SERIAL, &handle) == KX_OK);
  if (!handle) return 1;

  /* The device answers: queue its reply before the application reads. */
  vexa_sim_queue_rx(chip, 0, "world", 5);
  char reply[16] = {0};
  uint32_t got = 0;
  CHECK(greet(handle, reply, 5, &got) == KX_OK);
  CHECK(got == 5 && memcmp(reply, "world", 5) == 0);

  /* What the application sent, and the setting it made. */
  char sent[16] = {0};
  CHECK(vexa_sim_take_tx(chip, 0, sent, sizeof sent) == 5 && memcmp(sent, "hello", 5) == 0);
  vexa_sim_channel_state state;
  CHECK(vexa_sim_get_state(chip, 0, &state) == 0 && state.divisor == 0x4138); /* 9600 baud */

  /* A modem-status change reaches the application with the next status packet. */
  vexa_sim_set_status(chip, 0, KX_MODEM_CTS | KX_MODEM_DSR, 0);
  unsigned long modem = 0;
  KX_SetTimeouts(handle, 10, 10);
  for (int i = 0; i < 100 && modem != (KX_MODEM_CTS | KX_MODEM_DSR); ++i) {
    KX_Read(handle, reply, 1, &got); /* lets a status packet arrive */
    KX_GetModemStatus(handle, &modem);
  }
  CHECK(modem == (KX_MODEM_CTS | KX_MODEM_DSR));

  /* A failing bulk write: the application sees the library's error. */
  vexa_sim_fault fault = {VEXA_SIM_FAULT_BULK_WRITE, chip, -1, -1, 0, 1, -5};
  CHECK(vexa_sim_add_fault(&fault) == 0);
  CHECK(greet(handle, reply, 5, &got) == KX_ERR_WRITE);

  CHECK(KX_Close(handle) == KX_OK);
  printf("%s\n", failures ? "app_test: failures" : "app_test: all checks passed");
  return failures ? 1 : 0;
}
