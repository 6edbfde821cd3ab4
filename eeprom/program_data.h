// The parameter block through which KX_EE_Program hands a record's texts and
// flags to the image classes' Init, and the conversions between the two forms
// of the program-data record.
#ifndef VEXA_PROGRAM_DATA_H
#define VEXA_PROGRAM_DATA_H

#include <cstdint>

#include "device.h"

struct _TKxEEParams {
  const char *manufacturer;
  const char *description;
  const char *serial_number;  // always empty: the serial number is added after Init
  // single-channel chips
  uint8_t rev4;
  uint8_t iso_in;
  uint8_t iso_out;
  uint8_t pull_down_enable;
  uint8_t serial_number_enable;
  uint8_t usb_version_enable;
  uint16_t usb_version;
  // dual-channel chip
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
};

// True when the record starts with the two marker words of the current form.
// Reads only the first eight bytes, which every record form has.
KX_INTERNAL bool IsCurrentForm(const void *record);

// Copies the fields an older-form record carries for this kind of chip (up to
// usb_version on a single-channel chip, up to b_config_bit3 on the dual one);
// nothing beyond them is read or written, since a caller's older record may end there.
KX_INTERNAL void CopyFromLegacy(const KX_PROGRAM_DATA_LEGACY &from, KX_PROGRAM_DATA *to,
                                bool dual);
KX_INTERNAL void CopyToLegacy(const KX_PROGRAM_DATA &from, KX_PROGRAM_DATA_LEGACY *to, bool dual);

// Fills the parameter block from a current-form record.
KX_INTERNAL void FillParams(const KX_PROGRAM_DATA &record, _TKxEEParams *params, bool dual);

#endif  // VEXA_PROGRAM_DATA_H
