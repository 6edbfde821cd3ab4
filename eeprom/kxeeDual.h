// The EEPROM image of the dual-channel chip, which may carry a 64-, 128- or
// 256-word part. On the two larger parts the string area lives in the upper
// half of the 128-word image, leaving a fixed user area in the lower half.
#ifndef VEXA_KXEEDUAL_H
#define VEXA_KXEEDUAL_H

#include "kxe2data.h"

class KX_INTERNAL TKxEEDual : public TKxE2Data {
 public:
  // Manufacturer, product and serial texts together, in characters.
  static constexpr uint32_t kMaxTextChars = 47;
  // EEPROM type codes kept in word 10.
  static constexpr uint16_t kRom64 = 0x46;
  static constexpr uint16_t kRom128 = 0x56;
  static constexpr uint16_t kRom256 = 0x66;

  TKxEEDual();
  explicit TKxEEDual(void *device);

  int Read() override;
  uint16_t GetUserAreaOffset() override;
  uint16_t GetUserAreaSize() override;
  void Init(void *params) override;
  int ReadAndParse(void *record) override;
  int SetRomType() override;
  void MoveStrings() override;

 private:
  bool IsLarge() const { return rom_type == kRom128 || rom_type == kRom256; }
};

#endif  // VEXA_KXEEDUAL_H
