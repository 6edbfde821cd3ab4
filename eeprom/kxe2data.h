// The EEPROM image layout shared by every supported chip: USB descriptor values
// in the first words, three string descriptors, an empty port-name prefix, the
// options word, a free user area and a closing checksum. The chip-specific
// layouts derive from it.
#ifndef VEXA_KXE2DATA_H
#define VEXA_KXE2DATA_H

#include <cstddef>
#include <cstdint>

#include "eedata.h"

class KX_INTERNAL TKxE2Data : public TEeData {
 public:
  TKxE2Data();
  explicit TKxE2Data(void *device);

  // Virtual operations in their fixed slot order.
  virtual int Read();
  virtual uint16_t GetUserAreaOffset();
  virtual uint16_t GetUserAreaSize();
  virtual void Init(void *params) = 0;
  virtual int ReadAndParse(void *record) = 0;
  virtual int SetRomType() = 0;
  virtual void MoveStrings() = 0;
  // Declared last so that the operations above keep their slots.
  virtual ~TKxE2Data() = default;

  // Decoding.
  uint16_t GetVendorId() const { return WordAt(2); }
  uint16_t GetProductId() const { return WordAt(4); }
  void GetManufacturerString(char *out) const;
  void GetProductString(char *out) const;
  void GetSerialString(char *out) const;
  void GetManufacturerIDString(char *out) const;
  uint8_t GetBmAttributes() const { return image[8]; }
  uint16_t GetMaxPower() const { return static_cast<uint16_t>(image[9] * 2); }
  uint16_t GetOptions() const;
  bool GetRev4() const { return image[7] == 4; }
  bool GetIsoIn() const { return GetRev4() && (image[10] & 0x01); }
  bool GetIsoOut() const { return GetRev4() && (image[10] & 0x02); }
  bool GetPullDownEnable() const { return image[10] & 0x04; }
  bool GetSerialNumberEnable() const { return GetRev4() && (image[10] & 0x08); }
  bool GetUSBVersionEnable() const { return GetRev4() && (image[10] & 0x10); }
  uint16_t GetUSBVersion() const { return GetRev4() ? WordAt(12) : 0x0110; }
  uint16_t GetChecksum() const { return checksum; }
  int32_t GetSerialStringOffset() const { return serial_string_offset; }
  bool IsValid() const { return true; }
  bool CheckSerialised(unsigned long word_address, unsigned short expected);

  // Building; each of these but EraseSerialStringDescriptor ends with SetChecksum.
  void AddOemVendorId(uint16_t vendor_id);
  void AddOemProductId(uint16_t product_id);
  void AddBmAttributes(uint8_t attributes);
  void AddMaxPower(int milliamps);
  void AddOptions(uint16_t options);
  bool AddSerialStringDescriptor(const wchar_t *descriptor);
  bool AddPortNamePrefixDescriptor(const wchar_t *descriptor);
  void EraseSerialStringDescriptor();
  bool AddUserArea(const uint8_t *data, uint32_t length);
  void SetChecksum();

  void GetUserArea(uint8_t *out, uint32_t length, uint32_t *returned);

  // String descriptor <-> zero-terminated 8-bit text. `available` is how many
  // bytes of descriptor may be read or written; nothing beyond is touched.
  // A decoded text has at most 62 characters plus its terminator.
  static void DescStrCopyToStr(char *out, const uint8_t *descriptor, size_t available);
  static bool StrCopyToDescStr(uint8_t *descriptor, const char *text, size_t available);

  uint16_t checksum = 0;
  uint16_t rom_type = 0;
  int32_t manufacturer_string_offset = 0;
  int32_t product_string_offset = 0;
  int32_t serial_string_offset = 0;
  uint32_t checksum_offset = 126;

 protected:
  uint16_t WordAt(uint32_t offset) const {
    return offset + 1 < kImageBytes ? static_cast<uint16_t>(image[offset] | image[offset + 1] << 8)
                                    : 0;
  }
  void SetWordAt(uint32_t offset, uint16_t word) {
    if (offset + 1 >= kImageBytes) return;
    image[offset] = static_cast<uint8_t>(word & 0xFF);
    image[offset + 1] = static_cast<uint8_t>(word >> 8);
  }
  // Decodes the descriptor at a byte offset of the image (empty while blank).
  void DecodeStringAt(char *out, int32_t offset) const;
  // Image byte at an offset, as a signed length; false when outside the image.
  bool SignedByteAt(int32_t offset, int32_t *value) const;
  // Byte offset of the options word, or -1 when it lies outside the image.
  int32_t OptionsOffset() const;
  // Checks the vendor word of an image just read (0 or an EE status) and, when
  // it is programmed, fills the record fields both layouts decode alike.
  uint32_t ParseCommon(KX_PROGRAM_DATA *record) const;
  // Lays out the string area that both layouts share from strings_begin on:
  // pointer and length bytes 14 to 19, the manufacturer and product
  // descriptors, an empty serial-number descriptor, the empty port-name
  // prefix and the options word 0.
  void LayOutStrings(uint8_t strings_begin, const char *manufacturer, const char *description);
};

// The empty port-name-prefix descriptor every image carries.
extern const wchar_t kEmptyPrefix[1];

#endif  // VEXA_KXE2DATA_H
