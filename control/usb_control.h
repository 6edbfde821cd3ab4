// Internal: the vendor control-request layer. Every setting sent to a chip and
// every small value read back goes through KX_VendorRequest.
#ifndef VEXA_USB_CONTROL_H
#define VEXA_USB_CONTROL_H

#include <cstdint>

#include "device.h"

// bmRequestType of vendor requests to the device.
constexpr uint32_t KX_REQTYPE_OUT = 0x40;
constexpr uint32_t KX_REQTYPE_IN = 0xC0;

// Request codes (bRequest).
enum : uint8_t {
  KX_REQ_RESET = 0,
  KX_REQ_MODEM_CTRL = 1,
  KX_REQ_SET_FLOW_CONTROL = 2,
  KX_REQ_SET_DIVISOR = 3,
  KX_REQ_SET_LINE_CONTROL = 4,
  KX_REQ_GET_MODEM_STATUS = 5,
  KX_REQ_SET_CHAR1 = 6,
  KX_REQ_SET_CHAR2 = 7,
  KX_REQ_SET_LATENCY_TIMER = 9,
  KX_REQ_GET_LATENCY_TIMER = 10,
  KX_REQ_SET_BIT_MODE = 11,
  KX_REQ_GET_BIT_MODE = 12,
  KX_REQ_READ_EE = 0x90,
  KX_REQ_WRITE_EE = 0x91,
  KX_REQ_ERASE_EE = 0x92,
};

constexpr uint16_t KX_LINE_BREAK = 0x4000;
constexpr int KX_CONTROL_TIMEOUT_MS = 5000;
constexpr int KX_RESULT_UNSUPPORTED = 17;  // internal result: not supported by this chip

#pragma pack(push, 1)
struct _TKxLineControl {
  uint8_t stop_bits;
  uint8_t parity;
  uint8_t word_length;
};
struct _TKxFlowControl {
  uint16_t flow_mode;
  uint8_t flow_char_1;
  uint8_t flow_char_2;
};
struct _TKxSpecialChars {
  uint8_t first_char;
  uint8_t first_enable;
  uint8_t second_char;
  uint8_t second_enable;
};
struct _TKxBitMode {
  uint8_t mask;
  uint8_t mode;
};
struct _TKxWriteEeParams {
  uint16_t word_address;
  uint8_t value_low;
  uint8_t value_high;
};
#pragma pack(pop)
static_assert(sizeof(_TKxLineControl) == 3 && sizeof(_TKxFlowControl) == 4 &&
                  sizeof(_TKxSpecialChars) == 4 && sizeof(_TKxBitMode) == 2 &&
                  sizeof(_TKxWriteEeParams) == 4,
              "parameter records are byte-packed");

KX_INTERNAL int KX_VendorRequest(uint8_t request, uint16_t value, uint16_t index, void *data,
                                 uint16_t length, uint32_t requestType, norvec_device *device);
KX_INTERNAL int IoErrorHandler(norvec_device *device, void *context, uint16_t index, int result);

// True for the chips that take latency-timer, bit-mode and eighth-step divisor requests.
KX_INTERNAL bool SupportsLatencyAndBitMode(const norvec_device *device);

KX_INTERNAL int SetLineControl(norvec_device *device, _TKxLineControl *params);
KX_INTERNAL int SetBreak(norvec_device *device, unsigned short flag);
KX_INTERNAL int SetFlowControl(norvec_device *device, _TKxFlowControl *params);
KX_INTERNAL int SetDtr(norvec_device *device);
KX_INTERNAL int ClrDtr(norvec_device *device);
KX_INTERNAL int SetRts(norvec_device *device);
KX_INTERNAL int ClrRts(norvec_device *device);
KX_INTERNAL int SetChars(norvec_device *device, _TKxSpecialChars *params);
KX_INTERNAL int GetModemStatus(norvec_device *device);
KX_INTERNAL int Purge(norvec_device *device, unsigned long mask);
KX_INTERNAL int ResetDevice(norvec_device *device, unsigned char *reserved);
KX_INTERNAL int SetLatencyTimer(norvec_device *device, unsigned char milliseconds);
KX_INTERNAL int GetLatencyTimer(norvec_device *device, unsigned char *milliseconds);
KX_INTERNAL int SetBitMode(norvec_device *device, _TKxBitMode *params);
KX_INTERNAL int GetBitMode(norvec_device *device, unsigned char *value);
KX_INTERNAL void KX_SetDeadmanTimeout(norvec_device *device);

KX_INTERNAL int Read_EE(norvec_device *device, unsigned short *word);
KX_INTERNAL int Write_EE(norvec_device *device, _TKxWriteEeParams *params);
KX_INTERNAL int Erase_EE(norvec_device *device, _TKxWriteEeParams *params);

#endif  // VEXA_USB_CONTROL_H
