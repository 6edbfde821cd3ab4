// The image object for a handle: the dual-channel layout for the dual-channel
// chip, the single-channel layout for every other device type. Allocation
// failure gives null rather than an exception.
#ifndef VEXA_IMAGE_FACTORY_H
#define VEXA_IMAGE_FACTORY_H

#include <memory>
#include <new>

#include "chip_revisions.h"
#include "kxeeDual.h"
#include "kxeeSingle.h"

inline bool IsDualChip(KX_HANDLE handle) {
  return ChipRevisionOf(as_device(handle)->descriptor).eeprom_layout == EepromLayout::kDualChannel;
}

inline std::unique_ptr<TKxE2Data> CreateImage(KX_HANDLE handle) {
  if (IsDualChip(handle)) return std::unique_ptr<TKxE2Data>(new (std::nothrow) TKxEEDual(handle));
  return std::unique_ptr<TKxE2Data>(new (std::nothrow) TKxEESingle(handle));
}

#endif  // VEXA_IMAGE_FACTORY_H
