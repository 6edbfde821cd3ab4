// Divisor arithmetic, checked against worked rates and against an independent
// decoding of the divisor word over every rate near the useful range.
#include <gtest/gtest.h>

#include <cstdint>

#include "baud.h"

namespace {

struct Row {
  unsigned long rate;
  unsigned long capable;
  int result;  // KX_GetDivisor: 1 accepted, 0 refused, -1 out of range
  unsigned short divisor;
  unsigned short extension;
  unsigned long produced;
};

// Rates the standard table serves are not computed here; SetBaudRate's table
// is checked on the wire.
const Row kWorkedRows[] = {
    {184, 0, 1, 0xBFB0, 0, 184},          {184, 1, 1, 0x3FB0, 1, 183},
    {9500, 0, 1, 0x013C, 0, 9493},        {9500, 1, 1, 0x813B, 1, 9501},
    {14400, 0, 1, 0x80D0, 0, 14405},      {14400, 1, 1, 0x00D0, 1, 14397},
    {1600000, 0, 0, 0x0002, 0, 1500000},  {1600000, 1, 1, 0xC001, 1, 1604278},
    {2000000, 0, 1, 0x4001, 0, 2000000},  {2000000, 1, 1, 0x4001, 0, 2000000},
    {2900000, 0, 0, 0x0000, 0, 3000000},  {2900000, 1, 0, 0x0000, 0, 3000000},
    {3000000, 0, 1, 0x0000, 0, 3000000},  {3000000, 1, 1, 0x0000, 0, 3000000},
    {3090000, 0, 1, 0x0000, 0, 3000000},  {3090000, 1, 1, 0x0000, 0, 3000000},
    {3090001, 0, 0, 0x0000, 0, 3000000},  {3090001, 1, 0, 0x0000, 0, 3000000},
    {4000000, 0, 0, 0x0000, 0, 3000000},  {4000000, 1, 0, 0x0000, 0, 3000000},
};

// Rate a divisor word produces, decoded without the library: whole part times
// 100 plus the fraction in truncated hundredths.
uint32_t DecodeRate(unsigned short word, unsigned short extension, bool capable) {
  if (word == 0) return 3000000;
  static const uint32_t plain[4] = {0, 50, 25, 12};     // 0, 1/2, 1/4, 1/8
  static const uint32_t extended[4] = {37, 62, 75, 87};  // 3/8, 5/8, 3/4, 7/8
  uint32_t code = word >> 14;
  uint32_t base = (word & 0x3FFFu) * 100 + ((capable && extension) ? extended[code] : plain[code]);
  return 300000000u / base;
}

bool WithinThreePercent(uint64_t a, uint64_t b) {
  uint64_t larger = a > b ? a : b, smaller = a > b ? b : a;
  return larger * 100 <= smaller * 103;
}

TEST(BaudDivisor, WorkedRatesGiveTheirDivisorExtensionAndOutcome) {
  for (const Row &row : kWorkedRows) {
    SCOPED_TRACE(testing::Message() << row.rate << " baud, capable " << row.capable);
    unsigned short divisor = 0xFFFF, extension = 0xFFFF;
    unsigned long produced = 0;
    EXPECT_EQ(KX_GetDivisor(row.rate, &divisor, &extension, &produced, nullptr, nullptr,
                            row.capable),
              row.result);
    EXPECT_EQ(divisor, row.divisor);
    EXPECT_EQ(extension, row.extension);
    EXPECT_EQ(produced, row.produced);
  }
}

TEST(BaudDivisor, LowestRateIs184) {
  for (unsigned long capable : {0ul, 1ul}) {
    unsigned short divisor = 0x1234, extension = 0x5678;
    EXPECT_EQ(KX_CalcDivisor(183, &divisor, &extension, capable), -1);
    EXPECT_EQ(KX_GetDivisor(183, &divisor, &extension, nullptr, nullptr, nullptr, capable), -1);
    EXPECT_EQ(KX_GetDivisor(0, &divisor, &extension, nullptr, nullptr, nullptr, capable), -1);
    EXPECT_EQ(KX_CalcDivisor(0, &divisor, &extension, capable), -1);
    EXPECT_EQ(divisor, 0x1234) << "nothing written for a rate out of range";
    EXPECT_EQ(extension, 0x5678);
    EXPECT_EQ(KX_GetDivisor(184, &divisor, &extension, nullptr, nullptr, nullptr, capable), 1);
  }
}

TEST(BaudDivisor, TopBandsAreTheSameOnEveryDevice) {
  struct Band {
    unsigned long first, last;
    int result;
    unsigned short divisor;
  };
  const Band bands[] = {
      {2600555, 2758928, 1, 0xC001},  // 1 1/8
      {2758929, 2912621, 0, 0},       // between 1 1/8 and the top rate: refused
      {2912622, 3090000, 1, 0x0000},  // the top rate
  };
  for (unsigned long capable : {0ul, 1ul}) {
    for (const Band &band : bands) {
      for (unsigned long rate : {band.first, band.first + 1, band.last - 1, band.last}) {
        SCOPED_TRACE(testing::Message() << rate << " capable " << capable);
        unsigned short divisor = 0, extension = 0;
        int result = KX_GetDivisor(rate, &divisor, &extension, nullptr, nullptr, nullptr, capable);
        EXPECT_EQ(result, band.result);
        if (band.result == 1) {
          EXPECT_EQ(divisor, band.divisor);
          EXPECT_EQ(extension, 0);
        }
      }
    }
    unsigned short divisor = 0, extension = 0;
    EXPECT_EQ(KX_GetDivisor(2600554, &divisor, &extension, nullptr, nullptr, nullptr, capable), 0);
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
  struct Edge {
    uint32_t hundredths;
    int plain_code;
    int capable_code, capable_extension;
  };
  const Edge edges[] = {
      {6, 0x0000, 0x0000, 0},  {7, 0xC000, 0xC000, 0},  {18, 0xC000, 0xC000, 0},
      {19, 0x8000, 0x8000, 0}, {31, 0x8000, 0x8000, 0}, {32, 0x8000, 0x0000, 1},
      {37, 0x8000, 0x0000, 1}, {38, 0x4000, 0x0000, 1}, {43, 0x4000, 0x0000, 1},
      {44, 0x4000, 0x4000, 0}, {56, 0x4000, 0x4000, 0}, {57, 0x4000, 0x4000, 1},
      {68, 0x4000, 0x4000, 1}, {69, 0x4000, 0x8000, 1}, {75, 0x4000, 0x8000, 1},
      {76, -1, 0x8000, 1},     {81, -1, 0x8000, 1},     {82, -1, 0xC000, 1},
      {93, -1, 0xC000, 1},     {94, -1, -1, 0},         {99, -1, -1, 0},
  };
  for (const Edge &edge : edges) {
    uint32_t rate = RateWithFraction(edge.hundredths);
    ASSERT_NE(rate, 0u) << edge.hundredths;
    SCOPED_TRACE(testing::Message() << "hundredths " << edge.hundredths << ", rate " << rate);
    unsigned short divisor = 0, extension = 9;
    int found = KX_CalcDivisor(rate, &divisor, &extension, 0);
    EXPECT_EQ(found, edge.plain_code < 0 ? 0 : 1);
    if (edge.plain_code >= 0) {
      EXPECT_EQ(divisor, 100 | edge.plain_code);
    }
    EXPECT_EQ(extension, 0);
    found = KX_CalcDivisor(rate, &divisor, &extension, 1);
    EXPECT_EQ(found, edge.capable_code < 0 ? 0 : 1);
    if (edge.capable_code >= 0) {
      EXPECT_EQ(divisor, 100 | edge.capable_code);
      EXPECT_EQ(extension, edge.capable_extension);
    }
  }
}

// Just below the reference rate a fraction of 3 hundredths or less means the
// top rate (divisor word 0); from 4 on the whole divisor 1 stays.
TEST(BaudDivisor, WholeDivisorOneWithTinyFractionBecomesTheTopRate) {
  unsigned short divisor = 9, extension = 9;
  EXPECT_EQ(KX_CalcDivisor(2912622, &divisor, &extension, 1), 1);  // 1.0299...
  EXPECT_EQ(divisor, 0);
  EXPECT_EQ(KX_CalcDivisor(2912621, &divisor, &extension, 0), 1);  // 1.03000...
  EXPECT_EQ(divisor, 0);
  EXPECT_EQ(KX_CalcDivisor(2884615, &divisor, &extension, 0), 1);  // 1.04000...
  EXPECT_EQ(divisor, 1);
}

TEST(BaudDivisor, ErrorPercentAndDirection) {
  unsigned short divisor = 0, extension = 0;
  unsigned long produced = 0;
  short error = -1, direction = -1;
  // Requested above produced: direction 0.
  EXPECT_EQ(KX_GetDivisor(1600000, &divisor, &extension, &produced, &error, &direction, 0), 0);
  EXPECT_EQ(produced, 1500000u);
  EXPECT_EQ(error, 6);
  EXPECT_EQ(direction, 0);
  // Produced above requested: direction 1.
  EXPECT_EQ(KX_GetDivisor(14400, &divisor, &extension, &produced, &error, &direction, 0), 1);
  EXPECT_EQ(produced, 14405u);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(direction, 1);
  EXPECT_EQ(KX_GetDivisor(4000000, &divisor, &extension, &produced, &error, &direction, 1), 0);
  EXPECT_EQ(error, 33);
  EXPECT_EQ(direction, 0);
}

TEST(BaudDivisor, NullDivisorOrExtensionPointerComputesNothing) {
  unsigned short divisor = 7, extension = 7;
  unsigned long produced = 99;
  EXPECT_EQ(KX_GetDivisor(9500, nullptr, &extension, &produced, nullptr, nullptr, 1), 0);
  EXPECT_EQ(KX_GetDivisor(9500, &divisor, nullptr, &produced, nullptr, nullptr, 1), 0);
  EXPECT_EQ(divisor, 7);
  EXPECT_EQ(extension, 7);
  EXPECT_EQ(produced, 99u);
  // The optional outputs may all be null, also for a rate out of range.
  EXPECT_EQ(KX_GetDivisor(0, nullptr, nullptr, nullptr, nullptr, nullptr, 1), 0);
}

TEST(BaudRateOfDivisor, FractionsCountInTruncatedHundredths) {
  EXPECT_EQ(KX_CalcBaudRate(0, 1, 1), 3000000u);
  EXPECT_EQ(KX_CalcBaudRate(0xC04E, 0, 0), 38402u);  // 78 1/8 counts as 78.12
  EXPECT_EQ(KX_CalcBaudRate(0x4138, 0, 0), 9600u);
  EXPECT_EQ(KX_CalcBaudRate(0x809C, 0, 1), 19200u);
  EXPECT_EQ(KX_CalcBaudRate(0x0034, 0, 0), 57692u);
  EXPECT_EQ(KX_CalcBaudRate(0x3FB0, 1, 1), 183u);    // 16304 3/8
  EXPECT_EQ(KX_CalcBaudRate(0xC001, 1, 1), 1604278u);  // 1 7/8
  EXPECT_EQ(KX_CalcBaudRate(0x4000, 0, 0), 6000000u);  // whole part 0, fraction 1/2
}

TEST(BaudRateOfDivisor, ExtensionCountsOnlyOnCapableDevices) {
  for (unsigned short word : {0x00D0, 0x40D0, 0x80D0, 0xC0D0}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(KX_CalcBaudRate(word, 1, 0), KX_CalcBaudRate(word, 0, 0));
    EXPECT_EQ(KX_CalcBaudRate(word, 0, 1), KX_CalcBaudRate(word, 0, 0));
    EXPECT_NE(KX_CalcBaudRate(word, 1, 1), KX_CalcBaudRate(word, 0, 1));
  }
  EXPECT_EQ(KX_CalcBaudRate(0x00D0, 1, 0), 14423u);  // 208
  EXPECT_EQ(KX_CalcBaudRate(0x00D0, 1, 1), 14397u);  // 208 3/8
}

// Every rate from just below the lowest to beyond the top: accepted exactly
// when the decoded divisor lies within 3 %, and the divisor is well formed.
TEST(BaudDivisorSweep, AcceptedExactlyWhenWithinThreePercent) {
  uint32_t accepted[2] = {0, 0}, refused[2] = {0, 0};
  for (unsigned long capable : {0ul, 1ul}) {
    for (uint32_t rate = 180; rate <= 3200000; ++rate) {
      unsigned short divisor = 0, extension = 0;
      unsigned long produced = 0;
      int result = KX_GetDivisor(rate, &divisor, &extension, &produced, nullptr, nullptr, capable);
      if (rate < 184) {
        ASSERT_EQ(result, -1) << rate;
        continue;
      }
      uint32_t decoded = DecodeRate(divisor, extension, capable != 0);
      ASSERT_EQ(produced, decoded) << rate;
      ASSERT_EQ(result == 1, WithinThreePercent(rate, decoded)) << rate << " capable " << capable;
      if (!capable) {
        ASSERT_EQ(extension, 0) << rate;
      }
      // The chosen divisor stays next to the exact one: within one eighth
      // where every eighth is available, within the quarter-step midpoints
      // (0.27 of a whole) where only quarters and halves are.
      uint64_t exact_eighths_x_rate = 3000000ull * 8;
      uint32_t whole = divisor & 0x3FFF;
      static const uint32_t plain[4] = {0, 4, 2, 1}, extended[4] = {3, 5, 6, 7};
      uint32_t eighths = whole * 8 + ((capable && extension) ? extended[divisor >> 14]
                                                             : plain[divisor >> 14]);
      if (divisor != 0) {
        uint64_t chosen = uint64_t{eighths} * rate;
        uint64_t diff = chosen > exact_eighths_x_rate ? chosen - exact_eighths_x_rate
                                                      : exact_eighths_x_rate - chosen;
        if (capable)
          ASSERT_LE(diff, uint64_t{rate}) << rate;
        else
          ASSERT_LE(diff * 100, uint64_t{rate} * 216) << rate;
      }
      (result == 1 ? accepted : refused)[capable]++;
    }
  }
  // Both outcomes occur, and the eighth steps reach more rates.
  EXPECT_GT(refused[0], refused[1]);
  EXPECT_GT(refused[1], 0u);
  EXPECT_GT(accepted[1], accepted[0]);
  EXPECT_GT(accepted[0], 0u);
}

TEST(BaudDivisorSweep, LargeRatesNeverOverflow) {
  for (unsigned long capable : {0ul, 1ul}) {
    for (uint64_t rate = 3090001; rate <= UINT32_MAX; rate += 9999991) {
      unsigned short divisor = 1, extension = 1;
      unsigned long produced = 0;
      ASSERT_EQ(KX_GetDivisor(static_cast<unsigned long>(rate), &divisor, &extension, &produced,
                              nullptr, nullptr, capable),
                0)
          << rate;
      ASSERT_EQ(divisor, 0);
      ASSERT_EQ(produced, 3000000u);
    }
    unsigned short divisor = 1, extension = 1;
    EXPECT_EQ(KX_GetDivisor(UINT32_MAX, &divisor, &extension, nullptr, nullptr, nullptr, capable), 0);
    if (sizeof(unsigned long) > 4) {
      // Beyond 32 bits a rate must not wrap round to a small valid one.
      unsigned long wide = static_cast<unsigned long>((uint64_t{1} << 32) + 9600);
      EXPECT_EQ(KX_GetDivisor(wide, &divisor, &extension, nullptr, nullptr, nullptr, capable), 0);
    }
  }
}

}  // namespace
