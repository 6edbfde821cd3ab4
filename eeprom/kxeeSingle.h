// The 64-word EEPROM image of the single-channel chips.
#ifndef VEXA_KXEESINGLE_H
#define VEXA_KXEESINGLE_H

#include "kxe2data.h"

class KX_INTERNAL TKxEESingle : public TKxE2Data {
 public:
  // Manufacturer, product and serial texts together, in characters.
  static constexpr uint32_t kMaxTextChars = 48;

  TKxEESingle();
  explicit TKxEESingle(void *device);

  void Init(void *params) override;
  int ReadAndParse(void *record) override;
  int SetRomType() override;
  void MoveStrings() override {}
};

#endif  // VEXA_KXEESINGLE_H
