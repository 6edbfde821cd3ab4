// Serial numbers from a prefix, a number and an injected local time.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "serialno.h"

namespace {

struct tm g_now;
struct tm FixedClock() { return g_now; }

std::string Serial(const char *prefix, unsigned short number,
                   const char *time = "2026-12-03 23:25:40") {
  g_now = {};
  EXPECT_NE(strptime(time, "%Y-%m-%d %H:%M:%S", &g_now), nullptr);
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
  EXPECT_EQ(Serial("AB", 1), "ABFD9R90");
  EXPECT_EQ(Serial("AB", 0), "ABFD9R90") << "the year's fifth bit covers the number's lowest";
  EXPECT_EQ(Serial("AB", 2), "ABX4JRQS");
  EXPECT_EQ(Serial("AB", 4), "AB1EVTS8") << "the six most significant digits";
  EXPECT_EQ(Serial("AB", 0, "2000-01-01 00:00:00"), "AB0K0LC0") << "zero-padded on the left";
  EXPECT_EQ(Serial("ABCDEF", 1), "ABFD9R90") << "two prefix characters survive";
  EXPECT_EQ(Serial("A", 1), "A");
  EXPECT_EQ(Serial(nullptr, 1), "");
}

}  // namespace
