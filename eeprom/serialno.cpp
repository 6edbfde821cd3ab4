#include "serialno.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace vexa {

void i64toa(long long value, char *buffer, unsigned radix, int negative) {
  if (!buffer) return;
  if (radix < 2 || radix > 36) {
    buffer[0] = '\0';
    return;
  }
  char *out = buffer;
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (negative) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  // Digits least significant first, then reversed in place.
  char *first = out;
  do {
    const unsigned digit = static_cast<unsigned>(magnitude % radix);
    *out++ = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    magnitude /= radix;
  } while (magnitude > 0);
  *out = '\0';
  for (char *last = out - 1; first < last; ++first, --last) {
    const char swap = *first;
    *first = *last;
    *last = swap;
  }
}

char *_i64toa(long long value, char *buffer, unsigned radix) {
  i64toa(value, buffer, radix, 0);
  return buffer;
}

char *strupr(char *text) {
  if (!text) return text;
  for (char *c = text; *c; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  return text;
}

}  // namespace vexa

namespace {

struct tm SystemLocalTime() {
  struct tm broken = {};
  const time_t now = time(nullptr);
  localtime_r(&now, &broken);
  return broken;
}

std::atomic<TSerialNumber::Clock> g_clock{&SystemLocalTime};

constexpr int kDigits = 6;

}  // namespace

TSerialNumber::Clock TSerialNumber::SetClock(Clock clock) {
  return g_clock.exchange(clock ? clock : &SystemLocalTime);
}

TSerialNumber::TSerialNumber(const char *prefix, unsigned short value) : serial{}, number(value) {
  // Only the first two characters of the prefix survive; a shorter prefix
  // keeps its terminator in front of the digits, so the text ends there.
  if (prefix) std::strncpy(serial, prefix, 2);
  Build();
}

void TSerialNumber::Build() {
  const struct tm now = g_clock.load()();
  // Each field is shifted in without masking: from 2015 on the year's fifth
  // bit lands on the number's lowest bit. Kept that way on purpose, so that
  // chips programmed earlier and later get serial numbers of the same scheme.
  const int fields[][2] = {{4, now.tm_year - 99}, {4, now.tm_mon}, {5, now.tm_mday},
                           {5, now.tm_hour},      {6, now.tm_min}, {5, now.tm_sec / 2}};
  uint64_t value = number;
  for (const auto &field : fields)
    value = (value << field[0]) | static_cast<uint64_t>(static_cast<int64_t>(field[1]));

  char text[72];
  vexa::strupr(vexa::_i64toa(static_cast<long long>(value), text, 36));
  const int length = static_cast<int>(std::strlen(text));
  char digits[kDigits];
  if (length >= kDigits) {
    std::memcpy(digits, text, kDigits);
  } else {
    std::memset(digits, '0', kDigits - length);
    std::memcpy(digits + kDigits - length, text, length);
  }
  std::memcpy(serial + 2, digits, kDigits);
  serial[2 + kDigits] = '\0';
}

int TSerialNumber::Get(char *destination, int *length) const {
  if (destination) std::strcpy(destination, serial);
  if (length) *length = static_cast<int>(std::strlen(serial));
  return 1;
}
