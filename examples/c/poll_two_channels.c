/*
 * poll_two_channels: serves two channels from one poll() loop, with no thread
 * of its own. Each channel's event descriptor becomes readable when bytes
 * arrive or its modem lines change; the loop reads what is there, prints it,
 * and stops after SECONDS without any traffic.
 *
 *   poll_two_channels [INDEX_A INDEX_B [SECONDS]]
 *
 * Channels 0 and 1 by default (both channels of a dual-channel chip), 3 idle
 * seconds. A greeting is written to each channel at the start: with loopback
 * plugs, or under
 *   vexa-sim --chip dual,loopback=1 -- poll_two_channels
 * it comes back. "vexa-sim --pty" gives each simulated channel a terminal to
 * type into instead.
 */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vexa.h>

struct channel {
  int index;
  KX_HANDLE handle;
  unsigned long modem;
};

static int fail(const char *what, KX_STATUS status) {
  fprintf(stderr, "poll_two_channels: %s: %s\n", what, vexa_status_text(status));
  return 1;
}

/* Everything the descriptor announced: the queued bytes and the modem lines.
 * Reading both makes the descriptor unreadable until something new happens. */
static KX_STATUS serve(struct channel *c) {
  unsigned long modem = 0;
  KX_STATUS status = KX_GetModemStatus(c->handle, &modem);
  if (status != KX_OK) return status;
  if (modem != c->modem) {
    printf("channel %d: modem lines 0x%02lx\n", c->index, modem);
    c->modem = modem;
  }
  uint32_t queued = 0;
  status = KX_GetQueueStatus(c->handle, &queued);
  while (status == KX_OK && queued > 0) {
    char buffer[4096];
    uint32_t got = 0;
    uint32_t want = queued < sizeof buffer ? queued : (uint32_t)sizeof buffer;
    /* Never more than is queued, so the read returns at once. */
    status = KX_Read(c->handle, buffer, want, &got);
    if (status != KX_OK) break;
    printf("channel %d: %u byte(s): %.*s\n", c->index, (unsigned)got, (int)got, buffer);
    queued -= got;
  }
  return status;
}

int main(int argc, char **argv) {
  struct channel channels[2] = {{argc > 2 ? atoi(argv[1]) : 0, NULL, 0},
                                {argc > 2 ? atoi(argv[2]) : 1, NULL, 0}};
  const int idle_ms = (argc > 3 ? atoi(argv[3]) : 3) * 1000;
  struct pollfd fds[2];
  int rc = 0;

  printf("libvexa %s\n", vexa_version());
  for (int i = 0; i < 2 && rc == 0; ++i) {
    struct channel *c = &channels[i];
    char greeting[64];
    uint32_t written = 0;
    KX_STATUS status = KX_Open(c->index, &c->handle);
    if (status == KX_OK) status = KX_SetBaudRate(c->handle, 115200);
    if (status == KX_OK) status = vexa_get_event_fd(c->handle, &fds[i].fd);
    if (status == KX_OK) {
      snprintf(greeting, sizeof greeting, "hello, channel %d", c->index);
      status = KX_Write(c->handle, greeting, (uint32_t)strlen(greeting), &written);
    }
    if (status != KX_OK) rc = fail("setting up a channel", status);
    fds[i].events = POLLIN;
  }

  while (rc == 0) {
    int ready = poll(fds, 2, idle_ms);
    if (ready < 0) {
      perror("poll_two_channels: poll");
      rc = 1;
    } else if (ready == 0) {
      printf("idle for %d ms, done\n", idle_ms);
      break;
    }
    for (int i = 0; i < 2 && rc == 0 && ready > 0; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      KX_STATUS status = serve(&channels[i]);
      if (status != KX_OK) rc = fail("serving a channel", status);
    }
  }

  /* Closing a handle also closes its descriptor. */
  for (int i = 0; i < 2; ++i)
    if (channels[i].handle) KX_Close(channels[i].handle);
  return rc;
}
