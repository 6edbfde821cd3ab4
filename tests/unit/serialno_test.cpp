// Serial numbers from a prefix, a number and an injected local time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serialno.h"

namespace {

struct tm g_now;
struct tm FixedClock() { return g_now; }

void SetNow(int year, int month, int day, int hour, int minute, int second) {
  g_now = {};
  g_now.tm_year = year - 1900;
  g_now.tm_mon = month - 1;
  g_now.tm_mday = day;
  g_now.tm_hour = hour;
  g_now.tm_min = minute;
  g_now.tm_sec = second;
}

class SerialNumberTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = TSerialNumber::SetClock(&FixedClock); }
  void TearDown() override { TSerialNumber::SetClock(previous_); }
  static std::string Serial(const char *prefix, unsigned short number) {
    TSerialNumber serial(prefix, number);
    return serial.GetSerialNo();
  }

 private:
  TSerialNumber::Clock previous_ = nullptr;
};

}  // namespace

TEST_F(SerialNumberTest, WorkedExamples) {
  SetNow(2026, 12, 3, 23, 25, 40);
  EXPECT_EQ(Serial("AB", 1), "ABFD9R90");
  EXPECT_EQ(Serial("AB", 0), "ABFD9R90") << "the year's fifth bit covers the number's lowest";
  EXPECT_EQ(Serial("AB", 2), "ABX4JRQS");
  // More than six digits: the six most significant are kept.
  EXPECT_EQ(Serial("AB", 4), "AB1EVTS8");
  // Fewer than six: zero-padded on the left.
  SetNow(2000, 1, 1, 0, 0, 0);
  EXPECT_EQ(Serial("AB", 0), "AB0K0LC0");
}

TEST_F(SerialNumberTest, SameTwoSecondStepSameSerial) {
  SetNow(2024, 6, 15, 10, 30, 20);
  const std::string first = Serial("XY", 3);
  SetNow(2024, 6, 15, 10, 30, 21);
  EXPECT_EQ(Serial("XY", 3), first);
  SetNow(2024, 6, 15, 10, 30, 22);
  EXPECT_NE(Serial("XY", 3), first);
}

TEST_F(SerialNumberTest, PrefixLengths) {
  SetNow(2026, 12, 3, 23, 25, 40);
  EXPECT_EQ(Serial("ABCDEF", 1), "ABFD9R90") << "only two prefix characters survive";
  EXPECT_EQ(Serial("A", 1), "A");
  EXPECT_EQ(Serial("", 1), "");
  EXPECT_EQ(Serial(nullptr, 1), "");

  TSerialNumber serial("QQ", 1);
  char text[32];
  std::memset(text, '#', sizeof text);
  int length = 0;
  EXPECT_EQ(serial.Get(text, &length), 1);
  EXPECT_EQ(length, 8);
  EXPECT_STREQ(text, "QQFD9R90");
}

TEST(SerialTextTest, IntegerToText) {
  char buffer[72];
  EXPECT_STREQ(vexa::_i64toa(929282868, buffer, 36), "fd9r90");
  EXPECT_STREQ(vexa::_i64toa(0, buffer, 10), "0");
  EXPECT_STREQ(vexa::_i64toa(255, buffer, 16), "ff");
  EXPECT_STREQ(vexa::_i64toa(35, buffer, 36), "z");
  EXPECT_STREQ(vexa::_i64toa(36, buffer, 36), "10");
  vexa::i64toa(-1234, buffer, 10, 1);
  EXPECT_STREQ(buffer, "-1234");
  vexa::i64toa(-1, buffer, 2, 0);  // the widest text: 64 binary digits
  EXPECT_EQ(std::string(buffer), std::string(64, '1'));

  char text[] = "fd9r90-x";
  EXPECT_EQ(vexa::strupr(text), text);
  EXPECT_STREQ(text, "FD9R90-X");
}
