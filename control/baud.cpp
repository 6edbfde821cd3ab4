// Baud-rate divisors. The chip divides a 3,000,000 baud reference by a whole
// number plus a fraction in eighths; the fraction code sits in the divisor
// word's top two bits, and capable chips take one more bit (the extension)
// that selects the odd eighths. All arithmetic is unsigned 32-bit, except the
// tolerance products, which need 64 bits for rates above 42,949,672.
#include "baud.h"

#include <cstdint>

#include "chip_revisions.h"
#include "usb_control.h"

namespace {

constexpr uint32_t kReferenceRate = 3000000;
constexpr uint32_t kMaxWholeDivisor = 0x3FFF;
constexpr uint16_t kWholeMask = 0x3FFF;
constexpr uint16_t kFractionHalf = 0x4000;
constexpr uint16_t kFractionQuarter = 0x8000;
constexpr uint16_t kFractionEighth = 0xC000;
// Tolerance: the produced rate may differ from the requested one by 3 %.
constexpr uint64_t kTolerancePercent = 103;

struct StandardRate {
  uint32_t rate;
  uint16_t divisor;
};

// Common rates with fixed divisor words; these win over the computation.
constexpr StandardRate kStandardRates[] = {
    {300, 0x2710},    {600, 0x1388},    {1200, 0x09C4},   {2400, 0x04E2},  {4800, 0x0271},
    {9600, 0x4138},   {19200, 0x809C},  {38400, 0xC04E},  {57600, 0x0034}, {115200, 0x001A},
    {230400, 0x000D}, {460800, 0x4006}, {921600, 0x8003},
};

// Rates are 32-bit values, also where unsigned long is wider. Anything above
// the 32-bit range lies far beyond the top rate and behaves like the largest
// 32-bit rate.
uint32_t AsRate(unsigned long rate) {
  uint64_t wide = rate;
  return wide > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wide);
}

// Hundredths that each fraction code adds, by code (word >> 14). The values
// are truncated: 1/8 counts as 12, 3/8 as 37.
constexpr uint32_t kPlainHundredths[4] = {0, 50, 25, 12};
constexpr uint32_t kExtendedHundredths[4] = {37, 62, 75, 87};

}  // namespace

int KX_CalcDivisor(unsigned long rate, unsigned short *divisor, unsigned short *extension,
                   unsigned long capable) {
  uint32_t r = AsRate(rate);
  if (r == 0) return -1;
  uint32_t whole = kReferenceRate / r;
  if (whole > kMaxWholeDivisor) return -1;
  *divisor = static_cast<unsigned short>(whole);
  *extension = 0;
  if (whole == 0) return 1;  // above the reference rate: the top rate

  // Fraction of the exact divisor in hundredths. The remainder is below
  // 3,000,000 here, so the product stays within 32 bits.
  uint32_t hundredths = (kReferenceRate % r) * 100 / r;
  if (whole == 1 && hundredths <= 3) {
    *divisor = 0;
    return 1;
  }

  uint16_t code = 0;
  uint16_t ext = 0;
  if (hundredths <= 6) {
    code = 0;
  } else if (hundredths <= 18) {
    code = kFractionEighth;
  } else if (hundredths <= 31) {
    code = kFractionQuarter;
  } else if (!capable) {
    if (hundredths <= 37)
      code = kFractionQuarter;
    else if (hundredths <= 75)
      code = kFractionHalf;
    else
      return 0;  // closer to the next whole divisor
  } else {
    if (hundredths <= 43) {
      code = 0, ext = 1;  // 3/8
    } else if (hundredths <= 56) {
      code = kFractionHalf;
    } else if (hundredths <= 68) {
      code = kFractionHalf, ext = 1;  // 5/8
    } else if (hundredths <= 81) {
      code = kFractionQuarter, ext = 1;  // 3/4
    } else if (hundredths <= 93) {
      code = kFractionEighth, ext = 1;  // 7/8
    } else {
      return 0;
    }
  }
  *divisor = static_cast<unsigned short>(*divisor | code);
  *extension = ext;
  return 1;
}

unsigned long KX_CalcBaudRate(unsigned short divisor, unsigned short extension,
                              unsigned long capable) {
  if (divisor == 0) return kReferenceRate;
  uint32_t code = static_cast<uint32_t>(divisor) >> 14;
  bool extended = capable != 0 && extension != 0;
  uint32_t base = static_cast<uint32_t>(divisor & kWholeMask) * 100 +
                  (extended ? kExtendedHundredths[code] : kPlainHundredths[code]);
  return 300000000u / base;
}

int KX_GetDivisor(unsigned long rate, unsigned short *divisor, unsigned short *extension,
                  unsigned long *produced, short *error_percent, short *direction,
                  unsigned long capable) {
  if (divisor == nullptr || extension == nullptr) return 0;
  unsigned short word = 0;
  unsigned short ext = 0;
  int found = KX_CalcDivisor(rate, &word, &ext, capable);
  if (found == -1) return -1;
  if (found == 0) {
    word = static_cast<unsigned short>((word & kWholeMask) + 1);
    ext = 0;
  }
  *divisor = word;
  *extension = ext;

  uint32_t requested = AsRate(rate);
  uint32_t actual = static_cast<uint32_t>(KX_CalcBaudRate(word, ext, capable));
  uint32_t larger = actual, smaller = requested;
  short dir = 1;
  if (requested > actual) {
    larger = requested;
    smaller = actual;
    dir = 0;
  }
  uint64_t scaled_larger = 100ull * larger;
  if (produced) *produced = actual;
  if (error_percent) *error_percent = static_cast<short>(scaled_larger / smaller - 100);
  if (direction) *direction = dir;
  return scaled_larger <= kTolerancePercent * smaller ? 1 : 0;
}

int SetBaudRate(norvec_device *device, unsigned long rate) {
  uint32_t requested = AsRate(rate);
  unsigned long capable = SupportsLatencyAndBitMode(device) ? 1 : 0;
  unsigned short word = 0;
  unsigned short ext = 0;
  bool standard = false;
  for (const StandardRate &entry : kStandardRates) {
    if (entry.rate == requested) {
      word = entry.divisor;
      standard = true;
      break;
    }
  }
  if (!standard &&
      KX_GetDivisor(requested, &word, &ext, nullptr, nullptr, nullptr, capable) != 1)
    return -1;

  // The dual-channel chip addresses the channel in the low byte and takes
  // the extension in the high byte; the others take the extension alone.
  uint16_t index = ext;
  if (ChipRevisionOf(device->descriptor).divisor_index == DivisorIndex::kExtensionAndPort)
    index = static_cast<uint16_t>((ext << 8) | device->port_index);
  MutexGuard hold(device->control_lock);
  int result =
      KX_VendorRequest(KX_REQ_SET_DIVISOR, word, index, nullptr, 0, KX_REQTYPE_OUT, device);
  device->baud_rate = requested;
  return result;
}

int SetDivisor(norvec_device *device, unsigned short divisor) {
  return KX_VendorRequest(KX_REQ_SET_DIVISOR, divisor, device->port_index, nullptr, 0,
                          KX_REQTYPE_OUT, device);
}
