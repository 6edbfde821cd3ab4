/*
 * vexa_sim.h - control interface of the simulated chip.
 *
 * The simulator is a drop-in libusb 0.1 (SONAME libusb-0.1.so.4) whose bus
 * holds virtual bridge chips. A program that has the simulator loaded before
 * libvexa.so (linked first, LD_PRELOAD or LD_LIBRARY_PATH) drives these chips
 * through the unmodified library. This header lets tests and tools add and
 * remove chips, feed and inspect their data, read their state, inject faults
 * and read the log of every transfer. All functions are thread-safe.
 *
 * Chips are numbered from 0 in the order they were added (ids are not reused
 * until vexa_sim_reset). A channel is 0 (A, or the only one) or 1 (B).
 * Functions returning int give 0 (or the documented value) on success and -1
 * for an unknown chip or channel.
 */
#ifndef VEXA_SIM_H
#define VEXA_SIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexa_sim_chip_config {
  uint16_t id_vendor;       /* default 0x0403 when 0 */
  uint16_t id_product;      /* default 0x6001 (or 0x6010 when interfaces is 2) when 0 */
  uint16_t bcd_device;      /* default 0x0400 (or 0x0500 when interfaces is 2) when 0 */
  const char *serial;       /* null: iSerialNumber is 0 */
  const char *product;      /* null: iProduct is 0 */
  const char *manufacturer; /* null: iManufacturer is 0 */
  int interfaces;           /* 1 to 4; default 1 when 0 */
  int max_packet_size;      /* wMaxPacketSize of the bulk endpoints, default 64 when 0 */
  int eeprom_words;         /* 64, 128 or 256; 0 = no EEPROM (reads 0x0000, writes ignored) */
  int eeprom_no_wrap;       /* 1: addresses beyond the part are ignored (reads 0xFFFF) instead of wrapping */
  int no_configuration;     /* 1: reports no configuration (bNumConfigurations 0; libusb leaves config null) */
} vexa_sim_chip_config;

/* Removes every chip, fault and log entry and forgets the bus list, as if the
 * process had just started (usb_busses is null again). No handle may be open. */
void vexa_sim_reset(void);

/* Attaches a chip; it appears on the bus at the next usb_find_devices. Returns its id, or -1. */
int vexa_sim_add_chip(const vexa_sim_chip_config *config);

/* Unplugs a chip: calls on its open handles fail with -ENODEV (a bulk read
 * waiting at that moment returns 0), and the next scan drops and frees its entry. */
int vexa_sim_unplug(int chip);

/* Adds chips described as text (the format of the VEXA_SIM_CHIPS environment
 * variable, read at the first usb_init when no chip was added):
 *   chip[;chip...], chip = type[,key=value...]
 *   type: single (bcd 0x0600), r2 (0x0200), r4 (0x0400), dual (0x0500)
 *   keys: serial, desc, manufacturer, vid, pid, bcd, packet, eeprom (64, 128
 *   or 256 words, 0 for none), eeprom-file (a raw image the EEPROM is loaded
 *   from, created erased when missing, and written back on every change),
 *   loopback (0/1)
 * Returns the number of chips added, or -1 on a mistake (then none is added). */
int vexa_sim_add_chips_from_text(const char *text);
/* The same; on a mistake, message (size bytes, NUL-terminated) names the bad
 * part and lists what is valid. */
int vexa_sim_add_chips_checked(const char *text, char *message, size_t size);

/* ---- Data ---- */

/* Queues payload bytes that the channel will send on bulk IN. */
int vexa_sim_queue_rx(int chip, int channel, const void *data, size_t length);
/* Payload bytes queued and not yet sent. */
size_t vexa_sim_rx_pending(int chip, int channel);
/* Takes (and removes) up to max bytes the host has written to the channel's bulk OUT. */
size_t vexa_sim_take_tx(int chip, int channel, void *buffer, size_t max);
/* Bytes captured from bulk OUT and not yet taken. */
size_t vexa_sim_tx_pending(int chip, int channel);
/* Waits until captured bulk OUT bytes are pending or timeout_ms passes
 * (without polling); returns the pending count. */
size_t vexa_sim_wait_tx(int chip, int channel, int timeout_ms);

/* Modem status (upper nibble meaningful) and line status bytes sent in every packet. */
int vexa_sim_set_status(int chip, int channel, uint8_t modem_status, uint8_t line_status);
/* Bulk OUT bytes come back on bulk IN. */
int vexa_sim_set_loopback(int chip, int channel, int on);
/* Silent: the channel sends nothing, not even status packets; a read ends at its time-out. */
int vexa_sim_set_silent(int chip, int channel, int on);
/* Bulk IN stalls: reads return 0 (libusb 0.1 ignores the URB status). */
int vexa_sim_set_stalled(int chip, int channel, int on);
/* Line pacing of bulk IN: 0 none, 1 full speed (19 packets per 1 ms frame),
 * 2 high speed (13 packets per 125 us microframe). */
int vexa_sim_set_pacing(int chip, int channel, int mode);
/* At most this many bytes accepted per bulk OUT transfer (0 = no limit). */
int vexa_sim_set_write_limit(int chip, int channel, int max_bytes);
/* Binds a kernel driver of that name to the channel's interface (null or ""
 * unbinds): claims fail with -EBUSY until it is detached. */
int vexa_sim_set_kernel_driver(int chip, int channel, const char *name);

/* ---- State ---- */

typedef struct vexa_sim_channel_state {
  uint16_t divisor;        /* wValue of the last divisor request */
  uint16_t divisor_index;  /* its wIndex */
  uint16_t line_control;   /* wValue of the last line-control request (break bit included) */
  uint16_t flow_mode;      /* wIndex of the last flow request without the port byte */
  uint16_t flow_chars;     /* its wValue */
  uint8_t dtr, rts;        /* 0 or 1 */
  uint16_t event_char;     /* wValue of request 6 */
  uint16_t error_char;     /* wValue of request 7 */
  uint8_t latency_timer;   /* ms, 16 after attach */
  uint8_t bit_mask, bit_mode;
  uint8_t modem_status, line_status;
  uint32_t rx_purges, tx_purges, resets;
  int claimed;             /* 1 while some handle holds the interface */
} vexa_sim_channel_state;

int vexa_sim_get_state(int chip, int channel, vexa_sim_channel_state *state);

/* EEPROM words by address (wrapped as the part wraps). */
int vexa_sim_eeprom_get(int chip, unsigned address, uint16_t *word);
int vexa_sim_eeprom_set(int chip, unsigned address, uint16_t word);
/* Sets every word of the part to value (0xFFFF: erased). */
int vexa_sim_eeprom_fill(int chip, uint16_t value);

/* Number of usb_dev_handle objects currently open (leak checks). */
int vexa_sim_open_handles(void);

/* ---- Faults ---- */

enum vexa_sim_fault_kind {
  VEXA_SIM_FAULT_FIND_BUSSES = 1, /* usb_find_busses returns result */
  VEXA_SIM_FAULT_FIND_DEVICES,    /* usb_find_devices returns result */
  VEXA_SIM_FAULT_OPEN,            /* usb_open returns null */
  VEXA_SIM_FAULT_CLAIM,           /* usb_claim_interface returns result */
  VEXA_SIM_FAULT_CONTROL,         /* usb_control_msg returns result (an error, or a short count) */
  VEXA_SIM_FAULT_STRING,          /* usb_get_string_simple returns result */
  VEXA_SIM_FAULT_BULK_READ,       /* usb_bulk_read returns result, nothing delivered */
  VEXA_SIM_FAULT_BULK_WRITE,      /* usb_bulk_write returns result, nothing captured */
  VEXA_SIM_FAULT_DETACH           /* usb_detach_kernel_driver_np returns result, driver stays */
};

typedef struct vexa_sim_fault {
  int kind;    /* enum vexa_sim_fault_kind */
  int chip;    /* -1: any chip */
  int channel; /* interface / channel, -1: any */
  int request; /* CONTROL: bRequest; STRING: descriptor index; -1: any */
  int skip;    /* matching calls that pass before the fault starts */
  int count;   /* matching calls that fail; -1: for ever */
  int result;  /* what the call returns: a negative errno, or a byte count for a short reply */
} vexa_sim_fault;

/* Adds a fault rule. A control fault with a short count still performs the request. */
int vexa_sim_add_fault(const vexa_sim_fault *fault);
void vexa_sim_clear_faults(void);

/* ---- Log ---- */

enum vexa_sim_log_kind { VEXA_SIM_LOG_CONTROL = 1, VEXA_SIM_LOG_BULK_IN, VEXA_SIM_LOG_BULK_OUT };

typedef struct vexa_sim_log_entry {
  int kind;      /* enum vexa_sim_log_kind */
  int chip;
  uint8_t request_type, request;  /* control */
  uint16_t value, index, length;  /* control */
  int endpoint;  /* bulk */
  int size;      /* bulk: bytes asked for / offered */
  int result;    /* what the call returned */
} vexa_sim_log_entry;

/* Descriptor reads (standard GET_DESCRIPTOR) are not logged; every other
 * control request is. A bulk transfer is logged per URB of at most 16 KiB.
 * Copies up to max entries, oldest first; returns how many the log holds. */
size_t vexa_sim_log(vexa_sim_log_entry *entries, size_t max);
void vexa_sim_log_clear(void);
/* Whether bulk transfers are logged (default 1; streaming tests may turn it off). */
void vexa_sim_log_bulk(int on);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_SIM_H */
