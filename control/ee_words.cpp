// EEPROM word access: read, write and erase single words of the configuration
// EEPROM through three vendor requests. The EEPROM belongs to the whole chip,
// so none of these requests carries the channel's port index.
#include "usb_control.h"

namespace {

// Word addresses 0 to 256 inclusive are accepted.
constexpr unsigned long kLastWordOffset = 256;

}  // namespace

int Read_EE(norvec_device *device, unsigned short *word) {
  uint8_t reply[2] = {0, 0};
  int result =
      KX_VendorRequest(KX_REQ_READ_EE, 0, *word, reply, sizeof reply, KX_REQTYPE_IN, device);
  if (result != static_cast<int>(sizeof reply)) return result == 0 ? -1 : result;
  // The chip sends the low byte first.
  *word = static_cast<unsigned short>(reply[0] | (reply[1] << 8));
  return 0;
}

int Write_EE(norvec_device *device, _TKxWriteEeParams *params) {
  uint16_t value = static_cast<uint16_t>((params->value_high << 8) | params->value_low);
  return KX_VendorRequest(KX_REQ_WRITE_EE, value, params->word_address, nullptr, 0, KX_REQTYPE_OUT,
                          device);
}

int Erase_EE(norvec_device *device, _TKxWriteEeParams *) {
  return KX_VendorRequest(KX_REQ_ERASE_EE, 0, 0, nullptr, 0, KX_REQTYPE_OUT, device);
}

extern "C" {

KX_API KX_STATUS KX_ReadEE(KX_HANDLE handle, unsigned long offset, unsigned short *value) {
  norvec_device *device = as_device(handle);
  if (!device || !value) return KX_ERR_PARAMETER;
  if (offset > kLastWordOffset) return KX_ERR_ARGS;
  unsigned short word = static_cast<unsigned short>(offset);
  if (Read_EE(device, &word) != 0) return KX_ERR_IO;
  *value = word;
  return KX_OK;
}

KX_API KX_STATUS KX_WriteEE(KX_HANDLE handle, unsigned long offset, unsigned short value) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  if (offset > kLastWordOffset) return KX_ERR_ARGS;
  _TKxWriteEeParams params = {static_cast<uint16_t>(offset), static_cast<uint8_t>(value & 0xFF),
                              static_cast<uint8_t>(value >> 8)};
  return Write_EE(device, &params) == 0 ? KX_OK : KX_ERR_IO;
}

KX_API KX_STATUS KX_EraseEE(KX_HANDLE handle) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  _TKxWriteEeParams params = {};
  return Erase_EE(device, &params) == 0 ? KX_OK : KX_ERR_IO;
}

}  // extern "C"
