// Internal: baud-rate divisor arithmetic (pure, 32-bit integers) and the two
// operations that send a divisor to the chip.
#ifndef VEXA_BAUD_H
#define VEXA_BAUD_H

#include "device.h"

KX_INTERNAL int KX_CalcDivisor(unsigned long rate, unsigned short *divisor, unsigned short *extension,
                               unsigned long capable);
KX_INTERNAL unsigned long KX_CalcBaudRate(unsigned short divisor, unsigned short extension,
                                          unsigned long capable);
KX_INTERNAL int KX_GetDivisor(unsigned long rate, unsigned short *divisor, unsigned short *extension,
                              unsigned long *produced, short *error_percent, short *direction,
                              unsigned long capable);
KX_INTERNAL int SetBaudRate(norvec_device *device, unsigned long rate);
KX_INTERNAL int SetDivisor(norvec_device *device, unsigned short divisor);

#endif  // VEXA_BAUD_H
