// Serial numbers made up for chips programmed without one: a two-character
// prefix, then six base-36 characters from a small number and the local time.
#ifndef VEXA_SERIALNO_H
#define VEXA_SERIALNO_H

#include <ctime>

#include "device.h"

namespace vexa {
// Writes value in radix (2..36) as lower-case text, NUL-terminated; with
// negative nonzero, a '-' and the negated value. A negative value converted
// without the sign flag is written as its unsigned 64-bit pattern.
KX_INTERNAL void i64toa(long long value, char *buffer, unsigned radix, int negative);
KX_INTERNAL char *_i64toa(long long value, char *buffer, unsigned radix);
// Upper-cases text in place; returns it.
KX_INTERNAL char *strupr(char *text);
}  // namespace vexa

class KX_INTERNAL TSerialNumber {
 public:
  // Source of the broken-down local time; replaceable so that tests can fix the date.
  using Clock = struct tm (*)();
  // Installs a clock (null: the system's local time) and returns the previous one.
  static Clock SetClock(Clock clock);

  TSerialNumber(const char *prefix, unsigned short number);

  void Build();
  int Get(char *destination, int *length) const;
  char *GetSerialNo() { return serial; }

 private:
  char serial[16];
  unsigned short number;
};

#endif  // VEXA_SERIALNO_H
