#include "kxe2data.h"

#include <cstring>

namespace {
// Image bytes in front of the checksum word that the prefix descriptor and the
// options word must fit into on a 64-word image (words 62 and 63 excluded).
constexpr int32_t kPrefixLimit = 124;
constexpr int32_t kMaxDecodedChars = 62;
}  // namespace

TKxE2Data::TKxE2Data() : TEeData() {}

TKxE2Data::TKxE2Data(void *handle) : TEeData(handle) {}

int TKxE2Data::Read() {
  const int result = TEeData::Read();
  manufacturer_string_offset = image[14] & 0x7F;
  product_string_offset = image[16] & 0x7F;
  serial_string_offset = image[18] & 0x7F;
  return result;
}

// ---- strings -----------------------------------------------------------------

void TKxE2Data::DescStrCopyToStr(char *out, const uint8_t *descriptor, size_t available) {
  if (!out) return;
  out[0] = '\0';
  if (!descriptor || available < 2) return;
  // bLength is taken as a signed byte: a foreign image's 0, 1 or 128..255 is no text.
  const int32_t length = static_cast<int8_t>(descriptor[0]);
  if (length < 2) return;
  int32_t chars = length / 2 - 1;
  if (chars > kMaxDecodedChars) chars = kMaxDecodedChars;
  const int32_t room = static_cast<int32_t>((available - 2) / 2);
  if (chars > room) chars = room;
  for (int32_t k = 0; k < chars; ++k) out[k] = static_cast<char>(descriptor[2 + 2 * k]);
  out[chars] = '\0';
}

bool TKxE2Data::StrCopyToDescStr(uint8_t *descriptor, const char *text, size_t available) {
  if (!descriptor) return false;
  if (!text) text = "";
  const size_t length = std::strlen(text);
  if (2 * length + 2 > available) return false;
  descriptor[0] = static_cast<uint8_t>((2 * length + 2) & 0xFF);
  descriptor[1] = 0x03;
  for (size_t k = 0; k < length; ++k) {
    // Widened as a signed byte (0xE9 becomes 0xFFE9); decoding keeps the low
    // byte, so every 8-bit text survives the round trip.
    const uint16_t unit = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(text[k])));
    descriptor[2 + 2 * k] = static_cast<uint8_t>(unit & 0xFF);
    descriptor[3 + 2 * k] = static_cast<uint8_t>(unit >> 8);
  }
  return true;
}

void TKxE2Data::DecodeStringAt(char *out, int32_t offset) const {
  if (!out) return;
  out[0] = '\0';
  if (blank || offset < 0 || offset >= static_cast<int32_t>(kImageBytes)) return;
  DescStrCopyToStr(out, image + offset, kImageBytes - static_cast<uint32_t>(offset));
}

void TKxE2Data::GetManufacturerString(char *out) const {
  DecodeStringAt(out, manufacturer_string_offset);
}

void TKxE2Data::GetProductString(char *out) const { DecodeStringAt(out, product_string_offset); }

void TKxE2Data::GetSerialString(char *out) const { DecodeStringAt(out, serial_string_offset); }

void TKxE2Data::GetManufacturerIDString(char *out) const {
  if (!out) return;
  DecodeStringAt(out, serial_string_offset);
  // The identifier is the serial number's first two characters.
  if (std::strlen(out) > 2) out[2] = '\0';
}

bool TKxE2Data::SignedByteAt(int32_t offset, int32_t *value) const {
  if (offset < 0 || offset >= static_cast<int32_t>(kImageBytes)) return false;
  *value = static_cast<int8_t>(image[offset]);
  return true;
}

int32_t TKxE2Data::OptionsOffset() const {
  int32_t serial_length = 0, prefix_length = 0;
  if (!SignedByteAt(serial_string_offset, &serial_length)) return -1;
  const int32_t prefix = serial_string_offset + serial_length;
  if (!SignedByteAt(prefix, &prefix_length)) return -1;
  const int32_t options = prefix + prefix_length;
  if (options < 0 || options + 1 >= static_cast<int32_t>(kImageBytes)) return -1;
  return options;
}

uint16_t TKxE2Data::GetOptions() const {
  // An options word that a foreign image places outside the image reads as 0.
  const int32_t offset = OptionsOffset();
  return offset < 0 ? 0 : WordAt(static_cast<uint32_t>(offset));
}

bool TKxE2Data::CheckSerialised(unsigned long word_address, unsigned short expected) {
  unsigned short word = 0;
  if (KX_ReadEE(device, word_address, &word) != KX_OK) return false;
  return word == expected;
}

uint32_t TKxE2Data::ParseCommon(KX_PROGRAM_DATA *record) const {
  const uint16_t vendor_id = GetVendorId();
  if (vendor_id == 0x0000) return KX_ERR_EE_ABSENT;
  if (vendor_id == 0xFFFF) return KX_ERR_EE_BLANK;
  record->vendor_id = vendor_id;
  record->product_id = GetProductId();
  char text[64];
  GetManufacturerString(text);
  if (record->manufacturer) std::strcpy(record->manufacturer, text);
  GetManufacturerIDString(text);
  if (record->manufacturer_id) std::strcpy(record->manufacturer_id, text);
  GetProductString(text);
  if (record->description) std::strcpy(record->description, text);
  GetSerialString(text);
  if (record->serial_number) std::strcpy(record->serial_number, text);
  record->max_power = GetMaxPower();
  record->plug_and_play = GetOptions() == 0 ? 1 : 0;
  record->self_powered = (GetBmAttributes() >> 6) & 1;
  record->remote_wakeup = (GetBmAttributes() >> 5) & 1;
  return KX_OK;
}

// ---- building ----------------------------------------------------------------

void TKxE2Data::AddOemVendorId(uint16_t vendor_id) {
  SetWordAt(2, vendor_id);
  SetChecksum();
}

void TKxE2Data::AddOemProductId(uint16_t product_id) {
  SetWordAt(4, product_id);
  SetChecksum();
}

void TKxE2Data::AddBmAttributes(uint8_t attributes) {
  image[8] = attributes;
  SetChecksum();
}

void TKxE2Data::AddMaxPower(int milliamps) {
  image[9] = static_cast<uint8_t>((milliamps / 2) & 0xFF);
  SetChecksum();
}

void TKxE2Data::AddOptions(uint16_t options) {
  const int32_t offset = OptionsOffset();
  if (offset >= 0) SetWordAt(static_cast<uint32_t>(offset), options);
  SetChecksum();
}

bool TKxE2Data::AddSerialStringDescriptor(const wchar_t *descriptor) {
  if (!descriptor) return false;
  const uint32_t length = static_cast<uint32_t>(descriptor[0]) & 0xFF;
  const uint32_t units = length / 2;
  if (serial_string_offset < 0 ||
      static_cast<uint32_t>(serial_string_offset) + 2 * units > kImageBytes)
    return false;
  for (uint32_t k = 0; k < units; ++k) {
    const uint32_t unit = static_cast<uint32_t>(descriptor[k]);
    image[serial_string_offset + 2 * k] = static_cast<uint8_t>(unit & 0xFF);
    image[serial_string_offset + 2 * k + 1] = static_cast<uint8_t>((unit >> 8) & 0xFF);
  }
  image[19] = static_cast<uint8_t>(length);
  SetChecksum();
  return true;
}

bool TKxE2Data::AddPortNamePrefixDescriptor(const wchar_t *descriptor) {
  if (!descriptor || serial_string_offset < 0 ||
      serial_string_offset >= static_cast<int32_t>(kImageBytes))
    return false;
  const int32_t units = static_cast<int32_t>((static_cast<uint32_t>(descriptor[0]) & 0xFF) / 2);
  const int32_t position = serial_string_offset + image[serial_string_offset];
  // Room is needed for the prefix and the options word in front of the
  // checksum word of a 64-word image.
  if (position + units > kPrefixLimit) return false;
  for (int32_t k = 0; k < units; ++k) {
    const uint32_t unit = static_cast<uint32_t>(descriptor[k]);
    image[position + 2 * k] = static_cast<uint8_t>(unit & 0xFF);
    image[position + 2 * k + 1] = static_cast<uint8_t>((unit >> 8) & 0xFF);
  }
  SetChecksum();
  return true;
}

void TKxE2Data::EraseSerialStringDescriptor() {
  if (serial_string_offset < 0 || serial_string_offset >= static_cast<int32_t>(kImageBytes))
    return;
  uint32_t length = image[serial_string_offset];
  const uint32_t room = kImageBytes - static_cast<uint32_t>(serial_string_offset);
  if (length > room) length = room;
  std::memset(image + serial_string_offset, 0, length);
}

void TKxE2Data::SetChecksum() {
  uint32_t end = checksum_offset;
  if (end > kImageBytes - 2) end = kImageBytes - 2;
  uint16_t value = 0xAAAA;
  for (uint32_t offset = 0; offset < end; offset += 2) {
    value ^= WordAt(offset);
    value = static_cast<uint16_t>((value << 1) | (value >> 15));
  }
  checksum = value;
  SetWordAt(end, value);
}

// ---- user area ---------------------------------------------------------------

uint16_t TKxE2Data::GetUserAreaOffset() {
  // After the serial descriptor, the prefix descriptor and the options word.
  // A foreign image's length bytes can put this anywhere, negative included.
  const int32_t options = OptionsOffset();
  if (options < 0) return 0;
  const int32_t begin = options + 2;
  if (begin >= static_cast<int32_t>(checksum_offset)) return 0;
  return static_cast<uint16_t>(begin / 2);
}

uint16_t TKxE2Data::GetUserAreaSize() {
  const uint16_t offset = GetUserAreaOffset();
  if (offset == 0) return 0;
  const uint16_t end = static_cast<uint16_t>(checksum_offset / 2);
  return offset < end ? static_cast<uint16_t>(end - offset) : 0;
}

bool TKxE2Data::AddUserArea(const uint8_t *data, uint32_t length) {
  const uint32_t capacity = 2u * GetUserAreaSize();
  if (capacity == 0 || length > capacity) return false;
  if (length > 0) {
    if (!data) return false;
    std::memcpy(image + 2u * GetUserAreaOffset(), data, length);
  }
  SetChecksum();
  return true;
}

void TKxE2Data::GetUserArea(uint8_t *out, uint32_t length, uint32_t *returned) {
  const uint32_t capacity = 2u * GetUserAreaSize();
  const uint32_t count = length < capacity ? length : capacity;
  if (returned) *returned = count;
  if (count > 0 && out) std::memcpy(out, image + 2u * GetUserAreaOffset(), count);
}

const wchar_t kEmptyPrefix[1] = {0x0302};

void TKxE2Data::LayOutStrings(uint8_t strings_begin, const char *manufacturer,
                              const char *description) {
  // Pointer and length bytes in 8-bit arithmetic, as the chip reads them.
  image[14] = strings_begin;
  image[15] = static_cast<uint8_t>(2 * std::strlen(manufacturer) + 2);
  image[16] = static_cast<uint8_t>(image[14] + image[15]);
  image[17] = static_cast<uint8_t>(2 * std::strlen(description) + 2);
  image[18] = static_cast<uint8_t>(image[16] + image[17]);
  image[19] = 2;

  // Each copy is bounded by the image; texts too long for the string area
  // are refused by the caller before any of this runs.
  StrCopyToDescStr(image + image[14], manufacturer, kImageBytes - image[14]);
  StrCopyToDescStr(image + image[16], description, kImageBytes - image[16]);
  StrCopyToDescStr(image + image[18], "", kImageBytes - image[18]);

  manufacturer_string_offset = image[14];
  product_string_offset = image[16];
  serial_string_offset = image[18];
  image[14] |= 0x80;
  image[16] |= 0x80;
  image[18] |= 0x80;

  AddPortNamePrefixDescriptor(kEmptyPrefix);
  AddOptions(0);
}
