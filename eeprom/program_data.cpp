#include "program_data.h"

#include <cstring>

bool IsCurrentForm(const void *record) {
  uint32_t markers[2];
  std::memcpy(markers, record, sizeof markers);
  return markers[0] == 0x00000000u && markers[1] == 0xFFFFFFFFu;
}

// The same field list serves both directions and both record kinds.
#define KX_SINGLE_FIELDS(X)                                                                    \
  X(vendor_id) X(product_id) X(manufacturer) X(manufacturer_id) X(description) X(serial_number) \
  X(max_power) X(plug_and_play) X(self_powered) X(remote_wakeup) X(rev4) X(iso_in) X(iso_out)   \
  X(pull_down_enable) X(serial_number_enable) X(usb_version_enable) X(usb_version)
#define KX_DUAL_FIELDS(X)                                                                   \
  X(dual_image) X(iso_in_a) X(iso_in_b) X(iso_out_a) X(iso_out_b) X(dual_pull_down_enable)   \
  X(dual_serial_number_enable) X(dual_usb_version_enable) X(dual_usb_version)               \
  X(a_config_bit4) X(b_config_bit4) X(a_config_bit0) X(a_config_bit1) X(a_config_bit2)      \
  X(a_config_bit3) X(b_config_bit0) X(b_config_bit1) X(b_config_bit2) X(b_config_bit3)
#define KX_COPY_FIELD(name) to->name = from.name;

void CopyFromLegacy(const KX_PROGRAM_DATA_LEGACY &from, KX_PROGRAM_DATA *to, bool dual) {
  KX_SINGLE_FIELDS(KX_COPY_FIELD)
  if (dual) {
    KX_DUAL_FIELDS(KX_COPY_FIELD)
  }
}

void CopyToLegacy(const KX_PROGRAM_DATA &from, KX_PROGRAM_DATA_LEGACY *to, bool dual) {
  KX_SINGLE_FIELDS(KX_COPY_FIELD)
  if (dual) {
    KX_DUAL_FIELDS(KX_COPY_FIELD)
  }
}

void FillParams(const KX_PROGRAM_DATA &from, _TKxEEParams *to, bool dual) {
  to->manufacturer = from.manufacturer;
  to->description = from.description;
  to->serial_number = "";
  if (dual) {
    KX_DUAL_FIELDS(KX_COPY_FIELD)
  } else {
    to->rev4 = from.rev4;
    to->iso_in = from.iso_in;
    to->iso_out = from.iso_out;
    to->pull_down_enable = from.pull_down_enable;
    to->serial_number_enable = from.serial_number_enable;
    to->usb_version_enable = from.usb_version_enable;
    to->usb_version = from.usb_version;
  }
}
