// Serial numbers from a prefix, a number and an injected local time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serialno.h"

namespace {

struct tm g_now;
struct tm FixedClock() { return g_now; }

std::string Serial(const char *prefix, unsigned short number, int year, int month, int day, int hour,
                   int minute, int second) {
  g_now = {};
  g_now.tm_year = year - 1900;
  g_now.tm_mon = month - 1;
  g_now.tm_mday = day;
  g_now.tm_hour = hour;
  g_now.tm_min = minute;
  g_now.tm_sec = second;
  TSerialNumber::Clock previous = TSerialNumber::SetClock(&FixedClock);
  TSerialNumber serial(prefix, number);
  TSerialNumber::SetClock(previous);
  char text[32];
  std::memset(text, '#', sizeof text);
  int length = 0;
  EXPECT_EQ(serial.Get(text, &length), 1);
  EXPECT_EQ(length, static_cast<int>(std::strlen(text)));
  return text;
}

TEST(SerialNumber, WorkedExamplesAndPrefixLengths) {
  EXPECT_EQ(Serial("AB", 1, 2026, 12, 3, 23, 25, 40), "ABFD9R90");
  EXPECT_EQ(Serial("AB", 0, 2026, 12, 3, 23, 25, 40), "ABFD9R90") << "the year's fifth bit covers the number's lowest";
  EXPECT_EQ(Serial("AB", 2, 2026, 12, 3, 23, 25, 40), "ABX4JRQS");
  EXPECT_EQ(Serial("AB", 4, 2026, 12, 3, 23, 25, 40), "AB1EVTS8") << "the six most significant digits";
  EXPECT_EQ(Serial("AB", 0, 2000, 1, 1, 0, 0, 0), "AB0K0LC0") << "zero-padded on the left";
  EXPECT_EQ(Serial("ABCDEF", 1, 2026, 12, 3, 23, 25, 40), "ABFD9R90") << "two prefix characters survive";
  EXPECT_EQ(Serial("A", 1, 2026, 12, 3, 23, 25, 40), "A");
  EXPECT_EQ(Serial(nullptr, 1, 2026, 12, 3, 23, 25, 40), "");
}

}  // namespace
