// The exported control functions: each tests the handle, packs its arguments
// into the parameter record the internal operation expects, calls it once and
// maps the internal result to a status code.
#include <cstdio>

#include "baud.h"
#include "chip_revisions.h"
#include "event_fd.h"
#include "usb_control.h"

namespace {

// String read lengths: at most 16 serial-number and 64 description characters
// plus the terminating zero. The dual-channel chip's strings get " A" or " B"
// on top, so its callers provide two bytes more.
constexpr int kSerialReadLength = 17;
constexpr int kDescriptionReadLength = 65;
constexpr int kChannelSuffixLength = 2;

constexpr char kChannelLetters[] = "ABC";

KX_STATUS Standard(int result) { return result == 0 ? KX_OK : KX_ERR_IO; }

// Runs one operation on an open handle with the usual result mapping.
template <typename Operation>
KX_STATUS OnDevice(KX_HANDLE handle, Operation operation) {
  norvec_device *device = as_device(handle);
  return device ? Standard(operation(device)) : KX_ERR_PARAMETER;
}

// Latency timer and bit mode tell an unsupporting chip apart from a failure.
KX_STATUS WithUnsupported(int result) {
  if (result == 0) return KX_OK;
  return result == KX_RESULT_UNSUPPORTED ? KX_ERR_UNSUPPORTED : KX_ERR_IO;
}

// Reads string descriptor `index` and writes it to `out` (room for `length`
// bytes, plus the channel suffix when `letter` is set). A failed read leaves
// the empty string, without a letter: a lone " A" would look like a name.
void CopyStringDescriptor(norvec_device *device, int index, int length, char letter, char *out) {
  char text[kDescriptionReadLength + 1] = {};
  int result = usb_get_string_simple(device->usb_handle, index, text, length);
  if (result < 0) {
    out[0] = '\0';
    return;
  }
  text[length - 1] = '\0';
  if (letter)
    std::snprintf(out, static_cast<size_t>(length + kChannelSuffixLength), "%s %c", text, letter);
  else
    std::snprintf(out, static_cast<size_t>(length), "%s", text);
}

}  // namespace

extern "C" {

KX_API KX_STATUS KX_SetBaudRate(KX_HANDLE handle, unsigned long baud_rate) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  return SetBaudRate(device, baud_rate) == 0 ? KX_OK : KX_ERR_BAUD_RATE;
}

KX_API KX_STATUS KX_SetDivisor(KX_HANDLE handle, unsigned short divisor) {
  return OnDevice(handle, [divisor](norvec_device *device) { return SetDivisor(device, divisor); });
}

KX_API KX_STATUS KX_SetDataCharacteristics(KX_HANDLE handle, unsigned char word_length,
                                           unsigned char stop_bits, unsigned char parity) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  _TKxLineControl params = {stop_bits, parity, word_length};
  return Standard(SetLineControl(device, &params));
}

KX_API KX_STATUS KX_SetFlowControl(KX_HANDLE handle, unsigned short flow_mode,
                                   unsigned char xon_char, unsigned char xoff_char) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  _TKxFlowControl params = {flow_mode, xon_char, xoff_char};
  return Standard(SetFlowControl(device, &params));
}

KX_API KX_STATUS KX_SetDtr(KX_HANDLE handle) { return OnDevice(handle, SetDtr); }

KX_API KX_STATUS KX_ClrDtr(KX_HANDLE handle) { return OnDevice(handle, ClrDtr); }

KX_API KX_STATUS KX_SetRts(KX_HANDLE handle) { return OnDevice(handle, SetRts); }

KX_API KX_STATUS KX_ClrRts(KX_HANDLE handle) { return OnDevice(handle, ClrRts); }

KX_API KX_STATUS KX_SetChars(KX_HANDLE handle, unsigned char first_char, unsigned char first_enable,
                             unsigned char second_char, unsigned char second_enable) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  _TKxSpecialChars params = {first_char, first_enable, second_char, second_enable};
  return Standard(SetChars(device, &params));
}

KX_API KX_STATUS KX_Purge(KX_HANDLE handle, unsigned long mask) {
  return OnDevice(handle, [mask](norvec_device *device) { return Purge(device, mask); });
}

KX_API KX_STATUS KX_SetBreakOn(KX_HANDLE handle) {
  return OnDevice(handle, [](norvec_device *device) { return SetBreak(device, KX_LINE_BREAK); });
}

KX_API KX_STATUS KX_SetBreakOff(KX_HANDLE handle) {
  return OnDevice(handle, [](norvec_device *device) { return SetBreak(device, 0); });
}

KX_API KX_STATUS KX_ResetDevice(KX_HANDLE handle) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  if (ResetDevice(device, nullptr) != 0) return KX_ERR_IO;
  return Standard(Purge(device, KX_PURGE_RX | KX_PURGE_TX));
}

KX_API KX_STATUS KX_SetLatencyTimer(KX_HANDLE handle, unsigned char milliseconds) {
  norvec_device *device = as_device(handle);
  return device ? WithUnsupported(SetLatencyTimer(device, milliseconds)) : KX_ERR_PARAMETER;
}

KX_API KX_STATUS KX_GetLatencyTimer(KX_HANDLE handle, unsigned char *milliseconds) {
  norvec_device *device = as_device(handle);
  if (!device || !milliseconds) return KX_ERR_PARAMETER;
  return WithUnsupported(GetLatencyTimer(device, milliseconds));
}

KX_API KX_STATUS KX_SetBitMode(KX_HANDLE handle, unsigned char mask, unsigned char mode) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  _TKxBitMode params = {mask, mode};
  return WithUnsupported(SetBitMode(device, &params));
}

KX_API KX_STATUS KX_GetBitMode(KX_HANDLE handle, unsigned char *value) {
  norvec_device *device = as_device(handle);
  if (!device || !value) return KX_ERR_PARAMETER;
  return WithUnsupported(GetBitMode(device, value));
}

// No request: the reader thread keeps modem_status current from every packet.
KX_API KX_STATUS KX_GetModemStatus(KX_HANDLE handle, unsigned long *modem_status) {
  norvec_device *device = as_device(handle);
  if (!device || !modem_status) return KX_ERR_PARAMETER;
  *modem_status = device->modem_status.load();
  // One indivisible clear, so that an RX event raised meanwhile survives.
  device->event_status.fetch_and(~static_cast<uint32_t>(KX_EVENT_MODEM_CHANGED));
  EventFdStatusUnread(device, false);
  return KX_OK;
}

KX_API KX_STATUS KX_GetDeviceInfo(KX_HANDLE handle, unsigned long *type, unsigned long *id,
                                  char *serial_number, char *description, void *) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  const usb_device_descriptor &descriptor = device->descriptor;
  const ChipRevision &revision = ChipRevisionOf(descriptor);
  if (type) *type = revision.type_code;
  if (id) *id = (static_cast<unsigned long>(descriptor.idVendor) << 16) | descriptor.idProduct;

  // The channels of a multi-channel chip are told apart by their letter.
  char letter = 0;
  if (revision.indexed_channels > 1 && device->interface < sizeof kChannelLetters - 1)
    letter = kChannelLetters[device->interface];
  // No serial-number string: the caller's buffer keeps what it held.
  if (serial_number && descriptor.iSerialNumber != 0)
    CopyStringDescriptor(device, descriptor.iSerialNumber, kSerialReadLength, letter,
                         serial_number);
  if (description) {
    // String index 0 is the language table, not a name: never ask for it.
    if (descriptor.iProduct == 0)
      description[0] = '\0';
    else
      CopyStringDescriptor(device, descriptor.iProduct, kDescriptionReadLength, letter,
                           description);
  }
  return KX_OK;
}

KX_API KX_STATUS KX_IoCtl(KX_HANDLE, uint32_t, void *, uint32_t, void *, uint32_t, uint32_t *) {
  return KX_ERR_UNSUPPORTED;
}

KX_API KX_STATUS KX_SetResetPipeRetryCount(KX_HANDLE, uint32_t) { return KX_ERR_UNSUPPORTED; }

KX_API KX_STATUS KX_ResetPort(KX_HANDLE) { return KX_ERR_UNSUPPORTED; }

}  // extern "C"
