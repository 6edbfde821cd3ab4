// Divisor arithmetic, checked against worked rates and against an independent
// decoding of the divisor word over every rate near the useful range. Which
// rates the exported call refuses on the wire is in control_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "baud.h"

namespace {

int GetDivisor(unsigned long rate, unsigned short *divisor, unsigned short *extension,
               unsigned long capable, unsigned long *produced = nullptr) {
  return KX_GetDivisor(rate, divisor, extension, produced, nullptr, nullptr, capable);
}

TEST(BaudDivisor, WorkedRatesGiveTheirDivisorExtensionAndOutcome) {
  const struct {
    unsigned long rate, capable;
    int result;  // 1 accepted, 0 refused, -1 out of range
    unsigned short divisor, extension;
    unsigned long produced;
  } rows[] = {
      {184, 0, 1, 0xBFB0, 0, 184},         {184, 1, 1, 0x3FB0, 1, 183},
      {9500, 0, 1, 0x013C, 0, 9493},       {9500, 1, 1, 0x813B, 1, 9501},
      {14400, 0, 1, 0x80D0, 0, 14405},     {14400, 1, 1, 0x00D0, 1, 14397},
      {1600000, 0, 0, 0x0002, 0, 1500000}, {1600000, 1, 1, 0xC001, 1, 1604278},
      {2000000, 0, 1, 0x4001, 0, 2000000}, {2000000, 1, 1, 0x4001, 0, 2000000},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.rate << " baud, capable " << row.capable);
    unsigned short divisor = 0xFFFF, extension = 0xFFFF;
    unsigned long produced = 0;
    EXPECT_EQ(GetDivisor(row.rate, &divisor, &extension, row.capable, &produced), row.result);
    EXPECT_EQ(divisor, row.divisor);
    EXPECT_EQ(extension, row.extension);
    EXPECT_EQ(produced, row.produced);
  }
}

// The bands near the top rate and the lowest rate are the same on every device.
TEST(BaudDivisor, BandEdgesAreTheSameOnEveryDevice) {
  const struct {
    unsigned long rate;
    int result;
    unsigned short divisor;
  } edges[] = {
      {0, -1, 0},       {183, -1, 0},          {2600554, 0, 0},       {2600555, 1, 0xC001},
      {2758928, 1, 0xC001}, {2758929, 0, 0},   {2900000, 0, 0},       {2912621, 0, 0},
      {2912622, 1, 0},  {3000000, 1, 0},       {3090000, 1, 0},       {3090001, 0, 0},
      {4000000, 0, 0},  {UINT32_MAX, 0, 0},
  };
  for (unsigned long capable : {0ul, 1ul}) {
    for (const auto &edge : edges) {
      SCOPED_TRACE(testing::Message() << edge.rate << " capable " << capable);
      unsigned short divisor = 0x1234, extension = 0x5678;
      unsigned long produced = 0;
      EXPECT_EQ(GetDivisor(edge.rate, &divisor, &extension, capable, &produced), edge.result);
      if (edge.result < 0) {
        EXPECT_EQ(KX_CalcDivisor(edge.rate, &divisor, &extension, capable), -1);
        EXPECT_EQ(divisor, 0x1234) << "nothing written for a rate out of range";
        EXPECT_EQ(extension, 0x5678);
        continue;
      }
      if (edge.result == 1) {
        EXPECT_EQ(divisor, edge.divisor);
      }
      if (edge.rate >= 2900000) {
        EXPECT_EQ(produced, 3000000u);
      }
      EXPECT_EQ(extension, 0);
    }
  }
}

// A rate whose exact divisor is 100 plus `hundredths` hundredths (truncated).
uint32_t RateWithFraction(uint32_t hundredths) {
  for (uint32_t rate = 3000000 / 101 + 1; rate <= 3000000 / 100; ++rate)
    if (3000000 / rate == 100 && (3000000 % rate) * 100 / rate == hundredths) return rate;
  return 0;
}

// Each band of the fraction choice at both of its edges. Codes: plain
// fractions 0, 1/2 (0x4000), 1/4 (0x8000), 1/8 (0xC000); with the extension
// they become 3/8, 5/8, 3/4 and 7/8. -1 asks for the next whole divisor.
TEST(BaudDivisor, FractionBandsAtTheirEdges) {
  const struct {
    uint32_t hundredths;
    int plain_code, capable_code, capable_extension;
  } edges[] = {
      {6, 0x0000, 0x0000, 0},  {7, 0xC000, 0xC000, 0},  {18, 0xC000, 0xC000, 0},
      {19, 0x8000, 0x8000, 0}, {31, 0x8000, 0x8000, 0}, {32, 0x8000, 0x0000, 1},
      {37, 0x8000, 0x0000, 1}, {38, 0x4000, 0x0000, 1}, {43, 0x4000, 0x0000, 1},
      {44, 0x4000, 0x4000, 0}, {56, 0x4000, 0x4000, 0}, {57, 0x4000, 0x4000, 1},
      {68, 0x4000, 0x4000, 1}, {69, 0x4000, 0x8000, 1}, {75, 0x4000, 0x8000, 1},
      {76, -1, 0x8000, 1},     {81, -1, 0x8000, 1},     {82, -1, 0xC000, 1},
      {93, -1, 0xC000, 1},     {94, -1, -1, 0},         {99, -1, -1, 0},
  };
  for (const auto &edge : edges) {
    const uint32_t rate = RateWithFraction(edge.hundredths);
    ASSERT_NE(rate, 0u) << edge.hundredths;
    SCOPED_TRACE(testing::Message() << "hundredths " << edge.hundredths << ", rate " << rate);
    for (int capable : {0, 1}) {
      const int code = capable ? edge.capable_code : edge.plain_code;
      unsigned short divisor = 0, extension = 9;
      EXPECT_EQ(KX_CalcDivisor(rate, &divisor, &extension, capable), code < 0 ? 0 : 1);
      if (code >= 0 || !capable) {
        EXPECT_EQ(extension, capable ? edge.capable_extension : 0);
      }
      if (code >= 0) {
        EXPECT_EQ(divisor, 100 | code);
      }
    }
  }
  // Just below the reference rate a fraction of 3 hundredths or less means the
  // top rate (divisor word 0); from 4 on the whole divisor 1 stays.
  unsigned short divisor = 9, extension = 9;
  EXPECT_EQ(KX_CalcDivisor(2912622, &divisor, &extension, 1), 1);  // 1.0299...
  EXPECT_EQ(divisor, 0);
  EXPECT_EQ(KX_CalcDivisor(2912621, &divisor, &extension, 0), 1);  // 1.03000...
  EXPECT_EQ(divisor, 0);
  EXPECT_EQ(KX_CalcDivisor(2884615, &divisor, &extension, 0), 1);  // 1.04000...
  EXPECT_EQ(divisor, 1);
}

TEST(BaudDivisor, ErrorPercentDirectionAndNullPointers) {
  unsigned short divisor = 7, extension = 7;
  unsigned long produced = 99;
  short error = -1, direction = -1;
  EXPECT_EQ(KX_GetDivisor(1600000, &divisor, &extension, &produced, &error, &direction, 0), 0);
  EXPECT_EQ(error, 6);
  EXPECT_EQ(direction, 0) << "requested above produced";
  EXPECT_EQ(KX_GetDivisor(14400, &divisor, &extension, &produced, &error, &direction, 0), 1);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(direction, 1) << "produced above requested";
  EXPECT_EQ(KX_GetDivisor(4000000, &divisor, &extension, &produced, &error, &direction, 1), 0);
  EXPECT_EQ(error, 33);
  EXPECT_EQ(direction, 0);
  // Without a divisor or extension pointer nothing is computed.
  divisor = extension = 7;
  produced = 99;
  EXPECT_EQ(KX_GetDivisor(9500, nullptr, &extension, &produced, nullptr, nullptr, 1), 0);
  EXPECT_EQ(KX_GetDivisor(9500, &divisor, nullptr, &produced, nullptr, nullptr, 1), 0);
  EXPECT_EQ(divisor + extension, 14);
  EXPECT_EQ(produced, 99u);
  EXPECT_EQ(KX_GetDivisor(0, nullptr, nullptr, nullptr, nullptr, nullptr, 1), 0);
}

TEST(BaudRateOfDivisor, FractionsCountInTruncatedHundredths) {
  const struct {
    unsigned short word, extension;
    unsigned long capable, rate;
  } rows[] = {
      {0, 1, 1, 3000000},     {0xC04E, 0, 0, 38402},  // 78 1/8 counts as 78.12
      {0x4138, 0, 0, 9600},   {0x809C, 0, 1, 19200},   {0x0034, 0, 0, 57692},
      {0x3FB0, 1, 1, 183},    {0xC001, 1, 1, 1604278}, {0x4000, 0, 0, 6000000},
      {0x00D0, 1, 0, 14423},  {0x00D0, 1, 1, 14397},   // 208, and 208 3/8
  };
  for (const auto &row : rows) EXPECT_EQ(KX_CalcBaudRate(row.word, row.extension, row.capable), row.rate) << row.word;
  // The extension counts only on capable devices, for every fraction code.
  for (unsigned short word : {0x00D0, 0x40D0, 0x80D0, 0xC0D0}) {
    EXPECT_EQ(KX_CalcBaudRate(word, 1, 0), KX_CalcBaudRate(word, 0, 0)) << word;
    EXPECT_EQ(KX_CalcBaudRate(word, 0, 1), KX_CalcBaudRate(word, 0, 0)) << word;
    EXPECT_NE(KX_CalcBaudRate(word, 1, 1), KX_CalcBaudRate(word, 0, 1)) << word;
  }
}

// Every rate from just below the lowest to beyond the top: accepted exactly
// when the decoded divisor lies within 3 %, and the divisor is the nearest.
TEST(BaudDivisorSweep, AcceptedExactlyWhenWithinThreePercent) {
  // Eighths of the fraction codes, decoded without the library.
  static const uint32_t plain[4] = {0, 4, 2, 1}, extended[4] = {3, 5, 6, 7};
  uint32_t accepted[2] = {0, 0}, refused[2] = {0, 0};
  for (unsigned long capable : {0ul, 1ul}) {
    for (uint32_t rate = 184; rate <= 3200000; ++rate) {
      unsigned short divisor = 0, extension = 0;
      unsigned long produced = 0;
      const int result = GetDivisor(rate, &divisor, &extension, capable, &produced);
      if (!capable) {
        ASSERT_EQ(extension, 0) << rate;
      }
      const uint32_t eighths = (divisor & 0x3FFFu) * 8 +
                               ((capable && extension) ? extended[divisor >> 14] : plain[divisor >> 14]);
      // Whole part times 100 plus the fraction in truncated hundredths.
      const uint32_t decoded = divisor == 0 ? 3000000 : 300000000u / (eighths / 8 * 100 + eighths % 8 * 100 / 8);
      ASSERT_EQ(produced, decoded) << rate;
      const uint64_t larger = std::max<uint64_t>(rate, decoded), smaller = std::min<uint64_t>(rate, decoded);
      ASSERT_EQ(result == 1, larger * 100 <= smaller * 103) << rate << " capable " << capable;
      // Within one eighth of the exact divisor where every eighth is available,
      // within the quarter-step midpoints (0.27 of a whole) where only quarters are.
      if (divisor != 0) {
        const uint64_t chosen = uint64_t{eighths} * rate, exact = 3000000ull * 8;
        const uint64_t diff = chosen > exact ? chosen - exact : exact - chosen;
        ASSERT_LE(diff * 100, uint64_t{rate} * (capable ? 100 : 216)) << rate;
      }
      (result == 1 ? accepted : refused)[capable]++;
    }
  }
  // Both outcomes occur, and the eighth steps reach more rates.
  EXPECT_GT(refused[0], refused[1]);
  EXPECT_GT(refused[1], 0u);
  EXPECT_GT(accepted[1], accepted[0]);
}

TEST(BaudDivisorSweep, LargeRatesNeverWrapIntoRange) {
  for (unsigned long capable : {0ul, 1ul}) {
    for (uint64_t rate = 3090001; rate <= UINT32_MAX; rate += 9999991) {
      unsigned short divisor = 1, extension = 1;
      unsigned long produced = 0;
      ASSERT_EQ(GetDivisor(static_cast<unsigned long>(rate), &divisor, &extension, capable, &produced), 0)
          << rate;
      ASSERT_EQ(divisor, 0);
      ASSERT_EQ(produced, 3000000u);
    }
  }
}

}  // namespace
