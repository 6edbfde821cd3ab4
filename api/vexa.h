/*
 * vexa.h - the public interface of libvexa, a user-space driver library for
 * single- and dual-channel USB-to-serial bridge chips.
 *
 * Every function returns a KX_STATUS; results travel through out-parameters,
 * which are written only on success unless a function's comment says otherwise.
 *
 * Threading: the discovery and open functions (KX_ListDevices, KX_Open,
 * KX_OpenEx, KX_SetVIDPID) share process-wide scan state and must be called
 * from one thread at a time. On an open handle, control, write and EEPROM
 * calls may run beside the handle's background reader thread; at most one
 * KX_Read may be in progress per handle (a second one is refused with
 * KX_ERR_OTHER), and KX_Close must not race another call on the same handle.
 * A process may end (return from main, exit()) with handles open in any state.
 */
#ifndef VEXA_H
#define VEXA_H

#include <pthread.h>
#include <stdint.h>

#define VEXA_VERSION_MAJOR 1
#define VEXA_VERSION_MINOR 0
#define VEXA_VERSION_PATCH 0

#if defined(__GNUC__)
#define KX_API __attribute__((visibility("default")))
#else
#define KX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result of every exported function. */
typedef uint32_t KX_STATUS;

/* An open channel. Null is never a valid handle; a closed handle must not be reused. */
typedef void *KX_HANDLE;

/* Status codes. 1, 8 and 9 are not used. */
#define KX_OK 0u
#define KX_ERR_NOT_FOUND 2u    /* no channel with that index, serial number or description */
#define KX_ERR_NOT_OPENED 3u   /* device could not be opened, interface busy, or bad channel letter */
#define KX_ERR_IO 4u           /* a control transfer failed; also an expired read time-out */
#define KX_ERR_RESOURCES 5u    /* a memory allocation failed */
#define KX_ERR_PARAMETER 6u    /* null handle or argument, or a bad flags word */
#define KX_ERR_BAUD_RATE 7u    /* no divisor within 3 %, or the divisor request failed */
#define KX_ERR_WRITE 10u       /* a bulk write failed */
#define KX_ERR_EE_READ 11u     /* reading the EEPROM failed */
#define KX_ERR_EE_WRITE 12u    /* writing failed, read-back differs, or user data does not fit */
#define KX_ERR_EE_ERASE 13u    /* erasing the EEPROM failed */
#define KX_ERR_EE_ABSENT 14u   /* the EEPROM's vendor word reads 0x0000 */
#define KX_ERR_EE_BLANK 15u    /* the EEPROM's vendor word reads 0xFFFF */
#define KX_ERR_ARGS 16u        /* EEPROM word offset above 256 */
#define KX_ERR_UNSUPPORTED 17u /* not supported, or not by this chip */
#define KX_ERR_OTHER 18u       /* bus scan failed, string read failed, EEPROM texts too long */

/* Flags of KX_ListDevices and (bits 0 and 1) KX_OpenEx. */
#define KX_MATCH_SERIAL 0x1u
#define KX_MATCH_DESCRIPTION 0x2u
#define KX_LIST_EVERY 0x20000000u
#define KX_LIST_INDEXED 0x40000000u
#define KX_LIST_COUNT 0x80000000u

/* Device types reported by KX_GetDeviceInfo. */
#define KX_DEVICE_BCD0400 0u
#define KX_DEVICE_BCD0200 1u
#define KX_DEVICE_OTHER 3u
#define KX_DEVICE_DUAL 4u

/* Event bits of KX_SetEventNotification and the event status word. */
#define KX_EVENT_RX_DATA 1u
#define KX_EVENT_MODEM_CHANGED 2u

/* Purge masks. */
#define KX_PURGE_RX 1u
#define KX_PURGE_TX 2u

/* Line format codes passed through to the chip unchanged. */
#define KX_BITS_7 7u
#define KX_BITS_8 8u
#define KX_STOP_BITS_1 0u
#define KX_STOP_BITS_2 2u
#define KX_PARITY_NONE 0u
#define KX_PARITY_ODD 1u
#define KX_PARITY_EVEN 2u
#define KX_PARITY_MARK 3u
#define KX_PARITY_SPACE 4u

/* Flow modes; only XON/XOFF carries the two flow characters. */
#define KX_FLOW_NONE 0x0000u
#define KX_FLOW_RTS_CTS 0x0100u
#define KX_FLOW_DTR_DSR 0x0200u
#define KX_FLOW_XON_XOFF 0x0400u

/* Modem status bits as KX_GetModemStatus reports them. */
#define KX_MODEM_CTS 0x10u
#define KX_MODEM_DSR 0x20u
#define KX_MODEM_RI 0x40u
#define KX_MODEM_DCD 0x80u

/*
 * An event object owned by the application: it initialises both members,
 * keeps the object alive while registered, and destroys it. The library only
 * signals it (lock mutex, signal cond, unlock). A signal is not remembered, so
 * check KX_GetEventStatus before waiting.
 */
typedef struct _EVENT_HANDLE {
  pthread_cond_t cond;
  pthread_mutex_t mutex;
} _EVENT_HANDLE;
typedef _EVENT_HANDLE KX_EVENT_HANDLE;

/*
 * EEPROM configuration of a chip. The current form starts with marker_zero = 0
 * and marker_ones = 0xFFFFFFFF; anything else is read as KX_PROGRAM_DATA_LEGACY.
 * Texts belong to the caller. When reading, give buffers of at least 64 bytes
 * (a null pointer skips that text).
 */
typedef struct KX_PROGRAM_DATA {
  uint32_t marker_zero;    /* 0x00000000 */
  uint32_t marker_ones;    /* 0xFFFFFFFF */
  uint32_t layout_version; /* 0 single-channel fields, 1 with dual-channel fields */
  uint16_t vendor_id;
  uint16_t product_id;
  char *manufacturer;
  char *manufacturer_id; /* two-character prefix of a generated serial number */
  char *description;
  char *serial_number;   /* null or empty when programming: a serial number is generated */
  uint16_t max_power;    /* mA, at most 500 */
  uint16_t plug_and_play;
  uint16_t self_powered;
  uint16_t remote_wakeup;
  /* single-channel chips */
  uint8_t rev4;
  uint8_t iso_in;
  uint8_t iso_out;
  uint8_t pull_down_enable;
  uint8_t serial_number_enable;
  uint8_t usb_version_enable;
  uint16_t usb_version;
  /* dual-channel chip */
  uint8_t dual_image; /* output only: 1 when decoded as a dual-channel image */
  uint8_t iso_in_a;
  uint8_t iso_in_b;
  uint8_t iso_out_a;
  uint8_t iso_out_b;
  uint8_t dual_pull_down_enable;
  uint8_t dual_serial_number_enable;
  uint8_t dual_usb_version_enable;
  uint16_t dual_usb_version;
  uint8_t a_config_bit4;
  uint8_t b_config_bit4;
  uint8_t a_config_bit0;
  uint8_t a_config_bit1;
  uint8_t a_config_bit2;
  uint8_t a_config_bit3;
  uint8_t b_config_bit0;
  uint8_t b_config_bit1;
  uint8_t b_config_bit2;
  uint8_t b_config_bit3;
} KX_PROGRAM_DATA;

/* The older record form: the same fields from vendor_id on, without the markers. */
typedef struct KX_PROGRAM_DATA_LEGACY {
  uint16_t vendor_id;
  uint16_t product_id;
  char *manufacturer;
  char *manufacturer_id;
  char *description;
  char *serial_number;
  uint16_t max_power;
  uint16_t plug_and_play;
  uint16_t self_powered;
  uint16_t remote_wakeup;
  uint8_t rev4;
  uint8_t iso_in;
  uint8_t iso_out;
  uint8_t pull_down_enable;
  uint8_t serial_number_enable;
  uint8_t usb_version_enable;
  uint16_t usb_version;
  uint8_t dual_image;
  uint8_t iso_in_a;
  uint8_t iso_in_b;
  uint8_t iso_out_a;
  uint8_t iso_out_b;
  uint8_t dual_pull_down_enable;
  uint8_t dual_serial_number_enable;
  uint8_t dual_usb_version_enable;
  uint16_t dual_usb_version;
  uint8_t a_config_bit4;
  uint8_t b_config_bit4;
  uint8_t a_config_bit0;
  uint8_t a_config_bit1;
  uint8_t a_config_bit2;
  uint8_t a_config_bit3;
  uint8_t b_config_bit0;
  uint8_t b_config_bit1;
  uint8_t b_config_bit2;
  uint8_t b_config_bit3;
} KX_PROGRAM_DATA_LEGACY;

/* ---- Discovery and handles ------------------------------------------------ */

/*
 * Rescans the USB buses, then by flags:
 *  KX_LIST_COUNT (alone): *(uint32_t*)arg1 = number of channels.
 *  KX_LIST_INDEXED | KX_MATCH_x: arg1 is the channel index (cast to a pointer),
 *    arg2 a char buffer of 258 bytes receiving its serial number or
 *    description ("%s" or "%s %c" with the channel letter).
 *  KX_LIST_EVERY | KX_MATCH_x: arg1 is a char* array (a null entry ends the
 *    filling), *(uint32_t*)arg2 receives how many strings were written.
 * Returns KX_OK, KX_ERR_PARAMETER (bad flags, null arguments, no string bit),
 * KX_ERR_NOT_FOUND (no such index, device cannot be opened), KX_ERR_OTHER
 * (bus scan failed, string unreadable).
 */
KX_API KX_STATUS KX_ListDevices(void *arg1, void *arg2, uint32_t flags);

/* Opens channel number index (counted over accepted devices). On failure *handle is null.
 * KX_OK, KX_ERR_NOT_FOUND, KX_ERR_NOT_OPENED, KX_ERR_RESOURCES, KX_ERR_OTHER, KX_ERR_PARAMETER.
 * Channels are counted by the chip's revision, KX_ListDevices counts interfaces: a
 * chip of a revision unknown to the library is listed but skipped here, shifting
 * the indices after it. Confirm the channel with KX_GetDeviceInfo. */
KX_API KX_STATUS KX_Open(int index, KX_HANDLE *handle);

/* Opens the channel whose serial number (KX_MATCH_SERIAL) or description
 * (KX_MATCH_DESCRIPTION) begins the name; a trailing " A"/" B" picks the channel.
 * Statuses as KX_Open; KX_ERR_NOT_OPENED for a channel letter other than A or B.
 * The first chip in bus order whose string begins the name wins: with "VX2001"
 * and "VX2001A" attached, "VX2001A" opens channel A of VX2001. A name that only
 * starts like a chip's string ("AB12" with "AB1" earlier) gives
 * KX_ERR_NOT_OPENED, not KX_ERR_NOT_FOUND. To open reliably, list the channels,
 * open by index and confirm with KX_GetDeviceInfo. */
KX_API KX_STATUS KX_OpenEx(const char *name, uint32_t flags, KX_HANDLE *handle);

/* Stops the reader thread, releases the interface and frees the handle. KX_OK, KX_ERR_PARAMETER.
 * Waits for the reader's bulk read to end: up to about 5 s on a channel whose chip
 * sends nothing. Afterwards the library no longer touches a registered event object. */
KX_API KX_STATUS KX_Close(KX_HANDLE handle);

/* Sets the user row of the acceptance table; a zero argument keeps its half. Always KX_OK. */
KX_API KX_STATUS KX_SetVIDPID(uint32_t vendor_id, uint32_t product_id);
/* Reads the user row of the acceptance table. Always KX_OK; both pointers must be valid. */
KX_API KX_STATUS KX_GetVIDPID(uint32_t *vendor_id, uint32_t *product_id);

/* Selects the acceptance function (optional library "libvexa_table.so") / releases it. */
KX_API void my_init(void);
KX_API void my_fini(void);

/* ---- Data path ---------------------------------------------------------- */

/*
 * Reads n bytes. Returns at once when they are buffered; otherwise waits up to
 * the read time-out (0 = no limit). KX_OK (all bytes, or fewer when a receive
 * purge ended the wait), KX_ERR_IO (time-out: *returned counts the bytes that
 * did arrive), KX_ERR_OTHER (another KX_Read is in progress on this handle:
 * nothing is read, *returned is untouched, the other read goes on),
 * KX_ERR_PARAMETER. A zero-length read leaves *returned untouched.
 * A time-out shorter than the latency timer may end the read with *returned 0
 * although bytes are buffered: the reader thread hands bytes over between its
 * transfers. After the chip is unplugged reads only time out, and a read with
 * no time-out never ends: use finite time-outs where a chip may vanish. While
 * the caller holds its registered event object's mutex, a read with a finite
 * time-out returns within it, but one without a time-out may never return.
 */
KX_API KX_STATUS KX_Read(KX_HANDLE handle, void *buffer, uint32_t n, uint32_t *returned);

/* Sends n bytes in 4096-byte bulk transfers. KX_OK (*written = bytes the bus
 * accepted), KX_ERR_WRITE (*written untouched), KX_ERR_PARAMETER.
 * Writes from two threads interleave at 4096-byte boundaries. After a short
 * transfer the accepted bytes are not a prefix of the buffer (each chunk starts
 * at its own 4096-byte offset); after KX_ERR_WRITE the chunks before the failed
 * one have gone out although *written does not say so. */
KX_API KX_STATUS KX_Write(KX_HANDLE handle, const void *buffer, uint32_t n, uint32_t *written);

/* Read time-out for later KX_Read calls; a non-zero write time-out bounds each write transfer. */
KX_API KX_STATUS KX_SetTimeouts(KX_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms);

/* Bytes waiting in the receive ring. Still succeeds after the chip is unplugged. */
KX_API KX_STATUS KX_GetQueueStatus(KX_HANDLE handle, uint32_t *queued);

/* Queued receive bytes, transmit bytes (always 0) and the event status, which is cleared. */
KX_API KX_STATUS KX_GetStatus(KX_HANDLE handle, uint32_t *rx_bytes, uint32_t *tx_bytes, uint32_t *events);

/* Registers an event object (may be null) for the events in mask; mask 0 turns notification off.
 * The object must stay valid while registered: until notification is switched off
 * for it (mask 0, or another object registered) or the handle is closed; this call
 * and KX_Close return only once the library has let go of it. A modem-status
 * change that arrives while KX_EVENT_RX_DATA is pending raises no event of its own. */
KX_API KX_STATUS KX_SetEventNotification(KX_HANDLE handle, uint32_t mask, _EVENT_HANDLE *event);

/* Returns and clears the event status word. */
KX_API KX_STATUS KX_GetEventStatus(KX_HANDLE handle, uint32_t *events);

/* Not supported: always KX_ERR_UNSUPPORTED. */
KX_API KX_STATUS KX_SetWaitMask(KX_HANDLE handle, uint32_t mask);
KX_API KX_STATUS KX_WaitOnMask(KX_HANDLE handle, uint32_t *mask);

/* Accepted for compatibility; changes nothing. Always KX_OK. */
KX_API KX_STATUS KX_SetUSBParameters(KX_HANDLE handle, uint32_t in_transfer_size, uint32_t out_transfer_size);

/* Pause / resume bulk-in streaming of every handle in the process; buffered bytes stay readable.
 * The pause is process-wide whichever handle is passed, and stays in force after
 * that handle is closed, until KX_RestartInTask is called on any handle. */
KX_API KX_STATUS KX_StopInTask(KX_HANDLE handle);
KX_API KX_STATUS KX_RestartInTask(KX_HANDLE handle);

/* ---- Control ------------------------------------------------------------ */

/* KX_OK, KX_ERR_PARAMETER, KX_ERR_BAUD_RATE (no divisor within 3 %, or the request failed). */
KX_API KX_STATUS KX_SetBaudRate(KX_HANDLE handle, unsigned long baud_rate);
/* Sends a raw divisor word. KX_OK, KX_ERR_PARAMETER, KX_ERR_IO. */
KX_API KX_STATUS KX_SetDivisor(KX_HANDLE handle, unsigned short divisor);
/* Word length (KX_BITS_x), stop bits (KX_STOP_BITS_x), parity (KX_PARITY_x). */
KX_API KX_STATUS KX_SetDataCharacteristics(KX_HANDLE handle, unsigned char word_length,
                                           unsigned char stop_bits, unsigned char parity);
/* Flow mode (KX_FLOW_x); the characters are used with KX_FLOW_XON_XOFF only. */
KX_API KX_STATUS KX_SetFlowControl(KX_HANDLE handle, unsigned short flow_mode,
                                   unsigned char xon_char, unsigned char xoff_char);
KX_API KX_STATUS KX_SetDtr(KX_HANDLE handle);
KX_API KX_STATUS KX_ClrDtr(KX_HANDLE handle);
KX_API KX_STATUS KX_SetRts(KX_HANDLE handle);
KX_API KX_STATUS KX_ClrRts(KX_HANDLE handle);
/* Event character and error character with their enables. */
KX_API KX_STATUS KX_SetChars(KX_HANDLE handle, unsigned char first_char, unsigned char first_enable,
                             unsigned char second_char, unsigned char second_enable);
/* mask: KX_PURGE_RX, KX_PURGE_TX or both. A receive purge discards everything received
 * before it and ends a waiting KX_Read; on an unplugged chip it fails and cancels nothing. */
KX_API KX_STATUS KX_Purge(KX_HANDLE handle, unsigned long mask);
KX_API KX_STATUS KX_SetBreakOn(KX_HANDLE handle);
KX_API KX_STATUS KX_SetBreakOff(KX_HANDLE handle);
/* Resets the chip, then purges both directions. */
KX_API KX_STATUS KX_ResetDevice(KX_HANDLE handle);
/* Latency timer and bit mode: KX_ERR_UNSUPPORTED on chips without them. */
KX_API KX_STATUS KX_SetLatencyTimer(KX_HANDLE handle, unsigned char milliseconds);
KX_API KX_STATUS KX_GetLatencyTimer(KX_HANDLE handle, unsigned char *milliseconds);
KX_API KX_STATUS KX_SetBitMode(KX_HANDLE handle, unsigned char mask, unsigned char mode);
KX_API KX_STATUS KX_GetBitMode(KX_HANDLE handle, unsigned char *value);
/* Last modem status (KX_MODEM_x bits); clears KX_EVENT_MODEM_CHANGED. No request is sent,
 * so it still succeeds after the chip is unplugged (with the last status seen). */
KX_API KX_STATUS KX_GetModemStatus(KX_HANDLE handle, unsigned long *modem_status);
/*
 * Device type, (idVendor << 16 | idProduct), serial number (buffer of 19 bytes)
 * and description (67 bytes); each output may be null. On the dual-channel
 * chip both strings end in a blank and the channel letter.
 */
KX_API KX_STATUS KX_GetDeviceInfo(KX_HANDLE handle, unsigned long *type, unsigned long *id,
                                  char *serial_number, char *description, void *reserved);
/* Not supported: always KX_ERR_UNSUPPORTED, whatever the arguments. */
KX_API KX_STATUS KX_IoCtl(KX_HANDLE handle, uint32_t code, void *in, uint32_t in_size, void *out,
                          uint32_t out_size, uint32_t *returned);
KX_API KX_STATUS KX_SetResetPipeRetryCount(KX_HANDLE handle, uint32_t count);
KX_API KX_STATUS KX_ResetPort(KX_HANDLE handle);

/* ---- EEPROM words ------------------------------------------------------- */

/* Word offsets 0 to 256. KX_OK, KX_ERR_PARAMETER, KX_ERR_ARGS, KX_ERR_IO. */
KX_API KX_STATUS KX_ReadEE(KX_HANDLE handle, unsigned long offset, unsigned short *value);
KX_API KX_STATUS KX_WriteEE(KX_HANDLE handle, unsigned long offset, unsigned short value);
KX_API KX_STATUS KX_EraseEE(KX_HANDLE handle);

/* ---- EEPROM configuration ----------------------------------------------- */

/* Erases and programs the whole configuration, then verifies it. KX_OK,
 * KX_ERR_PARAMETER, KX_ERR_RESOURCES, KX_ERR_OTHER (texts too long),
 * KX_ERR_EE_ERASE, KX_ERR_EE_WRITE. A generated serial number changes only every
 * two seconds: chips programmed within the same two seconds get the same one. */
KX_API KX_STATUS KX_EE_Program(KX_HANDLE handle, KX_PROGRAM_DATA *data);
/* Decodes the EEPROM. KX_OK, KX_ERR_PARAMETER, KX_ERR_RESOURCES, KX_ERR_EE_READ,
 * KX_ERR_EE_ABSENT, KX_ERR_EE_BLANK; the record is untouched on failure. */
KX_API KX_STATUS KX_EE_Read(KX_HANDLE handle, KX_PROGRAM_DATA *data);
/* User area: size in bytes, write at its start, read from its start. */
KX_API KX_STATUS KX_EE_UASize(KX_HANDLE handle, uint32_t *size);
KX_API KX_STATUS KX_EE_UAWrite(KX_HANDLE handle, const uint8_t *data, uint32_t length);
KX_API KX_STATUS KX_EE_UARead(KX_HANDLE handle, uint8_t *buffer, uint32_t length, uint32_t *returned);

#ifdef __cplusplus
}
#endif

#endif /* VEXA_H */
