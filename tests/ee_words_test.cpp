// Single EEPROM words through the exported functions: the requests on the
// wire, the words the simulated part holds, and the statuses.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

class EeWordsTest : public SimTest {
 protected:
  KX_HANDLE OpenQuiet(int index) {
    KX_HANDLE handle = Open(index);
    vexa_sim_log_clear();
    return handle;
  }
  static void FailRequest(int request, int result) {
    vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_CONTROL, result, -1, request, 0, 1);
    ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  }
  static uint16_t Word(int chip, unsigned address) {
    uint16_t word = 0;
    EXPECT_EQ(vexa_sim_eeprom_get(chip, address, &word), 0);
    return word;
  }
};

TEST_F(EeWordsTest, ReadSendsTheAddressAndAssemblesLowByteFirst) {
  int chip = AddSingle("S1", "Single", 0x0400, 64, 128);
  ASSERT_EQ(vexa_sim_eeprom_set(chip, 5, 0x1234), 0);
  ASSERT_EQ(vexa_sim_eeprom_set(chip, 127, 0xA55A), 0);
  KX_HANDLE h = OpenQuiet(0);
  unsigned short word = 0;
  EXPECT_EQ(KX_ReadEE(h, 5, &word), KX_OK);
  EXPECT_EQ(word, 0x1234);
  EXPECT_EQ(KX_ReadEE(h, 127, &word), KX_OK);
  EXPECT_EQ(word, 0xA55A);
  auto log = ControlLog(0x90);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].request_type, 0xC0);
  EXPECT_EQ(log[0].value, 0);
  EXPECT_EQ(log[0].index, 5);
  EXPECT_EQ(log[0].length, 2);
  EXPECT_EQ(log[1].index, 127);
}

TEST_F(EeWordsTest, OffsetLimitIs256Inclusive) {
  AddSingle("S1", "Single", 0x0400, 64, 256);
  KX_HANDLE h = OpenQuiet(0);
  unsigned short word = 0xBEEF;
  EXPECT_EQ(KX_ReadEE(h, 256, &word), KX_OK);
  EXPECT_EQ(KX_WriteEE(h, 256, 0x0102), KX_OK);
  auto log = ControlLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].index, 0x0100);
  EXPECT_EQ(log[1].index, 0x0100);

  vexa_sim_log_clear();
  word = 0xBEEF;
  EXPECT_EQ(KX_ReadEE(h, 257, &word), KX_ERR_ARGS);
  EXPECT_EQ(KX_WriteEE(h, 257, 1), KX_ERR_ARGS);
  // A huge offset must not wrap into range when cut to 16 bits.
  EXPECT_EQ(KX_ReadEE(h, 0x10005, &word), KX_ERR_ARGS);
  EXPECT_EQ(KX_WriteEE(h, 0x10005, 1), KX_ERR_ARGS);
  EXPECT_EQ(word, 0xBEEF);
  EXPECT_EQ(ControlLog().size(), 0u);
}

TEST_F(EeWordsTest, NullArgumentsComeBeforeTheOffsetTest) {
  AddSingle("S1", "Single");
  unsigned short word = 0;
  EXPECT_EQ(KX_ReadEE(nullptr, 300, &word), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_WriteEE(nullptr, 300, 1), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EraseEE(nullptr), KX_ERR_PARAMETER);
  KX_HANDLE h = OpenQuiet(0);
  EXPECT_EQ(KX_ReadEE(h, 300, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ReadEE(h, 1, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(ControlLog().size(), 0u);
}

TEST_F(EeWordsTest, ShortOrFailedReadLeavesTheWord) {
  int chip = AddSingle("S1", "Single");
  ASSERT_EQ(vexa_sim_eeprom_set(chip, 3, 0x4321), 0);
  KX_HANDLE h = OpenQuiet(0);
  for (int result : {1, 0, -5}) {
    SCOPED_TRACE(result);
    unsigned short word = 0x7777;
    FailRequest(0x90, result);
    EXPECT_EQ(KX_ReadEE(h, 3, &word), KX_ERR_IO);
    EXPECT_EQ(word, 0x7777);
  }
  unsigned short word = 0;
  EXPECT_EQ(KX_ReadEE(h, 3, &word), KX_OK);
  EXPECT_EQ(word, 0x4321);
}

TEST_F(EeWordsTest, WriteReachesThePartWithTheWordAsValue) {
  int chip = AddSingle("S1", "Single", 0x0400, 64, 128);
  KX_HANDLE h = OpenQuiet(0);
  EXPECT_EQ(KX_WriteEE(h, 5, 0xABCD), KX_OK);
  auto log = ControlLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].request_type, 0x40);
  EXPECT_EQ(log[0].request, 0x91);
  EXPECT_EQ(log[0].value, 0xABCD);
  EXPECT_EQ(log[0].index, 5);
  EXPECT_EQ(log[0].length, 0);
  EXPECT_EQ(Word(chip, 5), 0xABCD);

  FailRequest(0x91, -5);
  EXPECT_EQ(KX_WriteEE(h, 6, 0x1111), KX_ERR_IO);
}

TEST_F(EeWordsTest, ChannelBUsesPlainAddressesAndErasesTheWholePart) {
  int chip = AddDual("D1", "Dual", 64, 128);
  Open(0);
  KX_HANDLE b = OpenQuiet(1);
  EXPECT_EQ(KX_WriteEE(b, 2, 0x0102), KX_OK);
  unsigned short word = 0;
  EXPECT_EQ(KX_ReadEE(b, 2, &word), KX_OK);
  EXPECT_EQ(word, 0x0102);
  EXPECT_EQ(KX_EraseEE(b), KX_OK);
  auto log = ControlLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].index, 2);
  EXPECT_EQ(log[1].index, 2);
  EXPECT_EQ(log[2].request, 0x92);
  EXPECT_EQ(log[2].request_type, 0x40);
  EXPECT_EQ(log[2].value, 0);
  EXPECT_EQ(log[2].index, 0);
  for (unsigned address : {0u, 2u, 64u, 127u}) EXPECT_EQ(Word(chip, address), 0xFFFF) << address;

  FailRequest(0x92, -5);
  EXPECT_EQ(KX_EraseEE(b), KX_ERR_IO);
}

}  // namespace
