#include "kxeeSingle.h"

#include <cstring>

#include "program_data.h"

namespace {
constexpr uint8_t kStringsBegin = 20;
}  // namespace

TKxEESingle::TKxEESingle() : TKxE2Data() { checksum_offset = 126; }

TKxEESingle::TKxEESingle(void *handle) : TKxE2Data(handle) { checksum_offset = 126; }

void TKxEESingle::Init(void *params_block) {
  const _TKxEEParams &params = *static_cast<const _TKxEEParams *>(params_block);
  const char *manufacturer = params.manufacturer ? params.manufacturer : "";
  const char *description = params.description ? params.description : "";

  std::memset(image, 0, sizeof image);
  SetWordAt(0, 0x0000);
  SetWordAt(2, 0x0403);
  SetWordAt(4, 0x6001);
  image[6] = 0x00;
  image[7] = params.rev4 ? 0x04 : 0x02;
  image[8] = 0xA0;
  image[9] = 0x2D;
  image[10] = static_cast<uint8_t>((params.iso_in ? 0x01 : 0) | (params.iso_out ? 0x02 : 0) |
                                   (params.pull_down_enable ? 0x04 : 0) |
                                   (params.serial_number_enable ? 0x08 : 0) |
                                   (params.usb_version_enable ? 0x10 : 0));
  SetWordAt(12, params.usb_version);

  LayOutStrings(kStringsBegin, manufacturer, description);
  AddOemVendorId(0x0403);
  AddOemProductId(0x6001);
  SetChecksum();
  blank = 0;
}

int TKxEESingle::ReadAndParse(void *record_block) {
  KX_PROGRAM_DATA *record = static_cast<KX_PROGRAM_DATA *>(record_block);
  if (!Read()) return KX_ERR_EE_READ;
  const uint32_t status = ParseCommon(record);
  if (status != KX_OK) return static_cast<int>(status);

  record->rev4 = GetRev4();
  record->iso_in = GetIsoIn();
  record->iso_out = GetIsoOut();
  record->pull_down_enable = GetPullDownEnable();
  record->serial_number_enable = GetSerialNumberEnable();
  record->usb_version_enable = GetUSBVersionEnable();
  record->usb_version = GetUSBVersion();

  // The dual-channel fields say nothing about this chip; the four isochronous
  // channel flags stay as the caller had them.
  record->dual_image = 0;
  record->dual_pull_down_enable = 0;
  record->dual_serial_number_enable = 0;
  record->dual_usb_version_enable = 0;
  record->dual_usb_version = 0;
  record->a_config_bit4 = record->b_config_bit4 = 0;
  record->a_config_bit0 = record->a_config_bit1 = record->a_config_bit2 = record->a_config_bit3 = 0;
  record->b_config_bit0 = record->b_config_bit1 = record->b_config_bit2 = record->b_config_bit3 = 0;
  return KX_OK;
}

int TKxEESingle::SetRomType() {
  rom_type = 0x46;
  return 0;
}
