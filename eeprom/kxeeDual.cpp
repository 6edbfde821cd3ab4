#include "kxeeDual.h"

#include <cstring>

#include "program_data.h"

namespace {
constexpr uint8_t kStringsBegin = 22;
// The probe writes this value high up and looks for where it lands.
constexpr unsigned short kProbeValue = 0x00C0;
constexpr unsigned long kProbeAddress = 192;
// On a large part the string area (bytes 22..127) moves 128 bytes on.
constexpr uint32_t kMovedBegin = 22;
constexpr uint32_t kMovedBytes = 128 - kMovedBegin;
constexpr uint32_t kMoveDistance = 128;
constexpr uint16_t kLargeUserAreaOffset = 11;
constexpr uint16_t kLargeUserAreaSize = 53;
}  // namespace

TKxEEDual::TKxEEDual() : TKxE2Data() {
  checksum_offset = 126;
  word_count = 128;
}

TKxEEDual::TKxEEDual(void *handle) : TKxE2Data(handle) {
  checksum_offset = 126;
  word_count = 128;
}

int TKxEEDual::SetRomType() {
  // A part ignores the address bits it lacks, so a write to word 192 wraps
  // onto word 0 of a 64-word part and onto word 64 of a 128-word part.
  Erase();
  WriteWord(kProbeAddress, kProbeValue);
  unsigned short word = 0;
  ReadWord(0, &word);
  if (word == kProbeValue) {
    rom_type = kRom64;
    checksum_offset = 126;
    word_count = 64;
    return word;
  }
  word = 0;
  ReadWord(64, &word);
  if (word == kProbeValue) {
    rom_type = kRom128;
    checksum_offset = 254;
    return word;
  }
  word = 0;
  ReadWord(kProbeAddress, &word);
  if (word == kProbeValue) {
    rom_type = kRom256;
    checksum_offset = 254;
    return word;
  }
  rom_type = 0;
  checksum_offset = 126;
  word_count = 64;
  return word;
}

void TKxEEDual::Init(void *params_block) {
  const _TKxEEParams &params = *static_cast<const _TKxEEParams *>(params_block);
  const char *manufacturer = params.manufacturer ? params.manufacturer : "";
  const char *description = params.description ? params.description : "";

  const uint8_t config_a = static_cast<uint8_t>(
      (params.a_config_bit0 ? 0x01 : 0) | (params.a_config_bit1 ? 0x02 : 0) |
      (params.a_config_bit2 ? 0x04 : 0) | (params.a_config_bit3 ? 0x08 : 0) |
      (params.a_config_bit4 ? 0x10 : 0));
  const uint8_t config_b = static_cast<uint8_t>(
      (params.b_config_bit0 ? 0x01 : 0) | (params.b_config_bit1 ? 0x02 : 0) |
      (params.b_config_bit2 ? 0x04 : 0) | (params.b_config_bit3 ? 0x08 : 0) |
      (params.b_config_bit4 ? 0x10 : 0));
  const uint8_t flags = static_cast<uint8_t>(
      (params.dual_pull_down_enable ? 0x04 : 0) | (params.dual_serial_number_enable ? 0x08 : 0) |
      (params.dual_usb_version_enable ? 0x10 : 0) | (params.iso_in_a ? 0x01 : 0) |
      (params.iso_out_a ? 0x02 : 0) | (params.iso_in_b ? 0x20 : 0) |
      (params.iso_out_b ? 0x40 : 0));

  std::memset(image, 0, sizeof image);
  image[0] = config_a;
  image[1] = config_b;
  SetWordAt(2, 0x0403);
  SetWordAt(4, 0x6010);
  image[6] = 0x00;
  image[7] = 0x05;
  image[8] = 0xA0;
  image[9] = 0x2D;
  SetWordAt(10, flags);
  SetWordAt(12, params.dual_usb_version);

  // A probe that found nothing is programmed as the small part.
  SetWordAt(20, rom_type ? rom_type : kRom64);
  LayOutStrings(kStringsBegin, manufacturer, description);
  SetChecksum();
  blank = 0;
}

void TKxEEDual::MoveStrings() {
  if (!IsLarge()) return;
  // The pointer bytes keep offset | 0x80, which is exactly where the moved
  // strings now start, so they need no change.
  std::memmove(image + kMovedBegin + kMoveDistance, image + kMovedBegin, kMovedBytes);
  std::memset(image + kMovedBegin, 0, kMovedBytes);
  SetChecksum();
}

int TKxEEDual::Read() {
  if (!TKxE2Data::Read()) return 0;
  rom_type = WordAt(20);
  if (IsLarge()) {
    manufacturer_string_offset += kMoveDistance;
    product_string_offset += kMoveDistance;
    serial_string_offset += kMoveDistance;
    // A later SetChecksum (user-area writes) must cover words 0..126, as programming did.
    checksum_offset = 254;
  } else {
    word_count = 64;
  }
  return 1;
}

uint16_t TKxEEDual::GetUserAreaOffset() {
  return IsLarge() ? kLargeUserAreaOffset : TKxE2Data::GetUserAreaOffset();
}

uint16_t TKxEEDual::GetUserAreaSize() {
  return IsLarge() ? kLargeUserAreaSize : TKxE2Data::GetUserAreaSize();
}

int TKxEEDual::ReadAndParse(void *record_block) {
  KX_PROGRAM_DATA *record = static_cast<KX_PROGRAM_DATA *>(record_block);
  if (!Read()) return KX_ERR_EE_READ;
  const uint32_t status = ParseCommon(record);
  if (status != KX_OK) return static_cast<int>(status);

  record->rev4 = record->iso_in = record->iso_out = 0;
  record->pull_down_enable = record->serial_number_enable = record->usb_version_enable = 0;
  record->usb_version = 0;
  record->dual_image = 1;

  const uint16_t config = WordAt(0);
  record->a_config_bit0 = config & 1;
  record->a_config_bit1 = (config >> 1) & 1;
  record->a_config_bit2 = (config >> 2) & 1;
  record->a_config_bit3 = (config >> 3) & 1;
  record->a_config_bit4 = (config >> 4) & 1;
  record->b_config_bit0 = (config >> 8) & 1;
  record->b_config_bit1 = (config >> 9) & 1;
  record->b_config_bit2 = (config >> 10) & 1;
  record->b_config_bit3 = (config >> 11) & 1;
  record->b_config_bit4 = (config >> 12) & 1;

  const uint8_t flags = image[10];
  record->iso_in_a = flags & 0x01;
  record->iso_out_a = (flags >> 1) & 1;
  record->dual_pull_down_enable = (flags >> 2) & 1;
  record->dual_serial_number_enable = (flags >> 3) & 1;
  record->dual_usb_version_enable = (flags >> 4) & 1;
  record->iso_in_b = (flags >> 5) & 1;
  record->iso_out_b = (flags >> 6) & 1;
  record->dual_usb_version = WordAt(12);
  return KX_OK;
}
