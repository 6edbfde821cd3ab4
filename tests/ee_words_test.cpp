// Single EEPROM words through the exported functions: the requests on the
// wire, the words the simulated part holds, and the statuses. Offsets past
// the limit and null arguments are in hostile_input_test.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

class EeWordsTest : public SimTest {
 protected:
  // The requests logged since the last call, as {type, request, value, index, length}.
  static std::vector<std::vector<int>> Sent() {
    std::vector<std::vector<int>> sent;
    for (const auto &e : ControlLog()) sent.push_back({e.request_type, e.request, e.value, e.index, e.length});
    vexa_sim_log_clear();
    return sent;
  }
};

// Channel B addresses the part with plain word addresses, as A does; 256 is
// the last offset taken, and erasing clears the whole part.
TEST_F(EeWordsTest, ReadWriteAndEraseRequests) {
  int chip = AddDual("D1", "Dual", 64, 256);
  ASSERT_EQ(vexa_sim_eeprom_set(chip, 255, 0xA55A), 0);
  Open(0);
  KX_HANDLE b = Open(1);
  vexa_sim_log_clear();
  unsigned short word = 0;
  EXPECT_EQ(KX_WriteEE(b, 2, 0x0102), KX_OK);
  EXPECT_EQ(KX_ReadEE(b, 2, &word), KX_OK);
  EXPECT_EQ(word, 0x0102) << "the reply is assembled low byte first";
  EXPECT_EQ(KX_ReadEE(b, 255, &word), KX_OK);
  EXPECT_EQ(word, 0xA55A);
  EXPECT_EQ(KX_ReadEE(b, 256, &word), KX_OK);
  EXPECT_EQ(KX_WriteEE(b, 256, 0x0102), KX_OK);
  EXPECT_EQ(KX_EraseEE(b), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<std::vector<int>>{{0x40, 0x91, 0x0102, 2, 0},
                                                   {0xC0, 0x90, 0, 2, 2},
                                                   {0xC0, 0x90, 0, 255, 2},
                                                   {0xC0, 0x90, 0, 256, 2},
                                                   {0x40, 0x91, 0x0102, 256, 0},
                                                   {0x40, 0x92, 0, 0, 0}}));
  for (unsigned address : {0u, 2u, 128u, 255u}) {
    uint16_t stored = 0;
    EXPECT_EQ(vexa_sim_eeprom_get(chip, address, &stored), 0);
    EXPECT_EQ(stored, 0xFFFF) << address;
  }

  // A failed or short reply is an I/O error and stores nothing.
  const struct {
    int request, result;
  } rows[] = {{0x90, 1}, {0x90, 0}, {0x90, -5}, {0x91, -5}, {0x92, -5}};
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << row.request << " gives " << row.result);
    Inject(Fault(VEXA_SIM_FAULT_CONTROL, row.result, -1, row.request, 0, 1));
    word = 0x7777;
    const KX_STATUS status = row.request == 0x90   ? KX_ReadEE(b, 3, &word)
                             : row.request == 0x91 ? KX_WriteEE(b, 6, 0x1111)
                                                   : KX_EraseEE(b);
    EXPECT_EQ(status, KX_ERR_IO);
    EXPECT_EQ(word, 0x7777);
  }
}

}  // namespace
