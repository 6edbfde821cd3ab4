// Each chip revision as an application meets it, opened by name so that a
// revision the library does not know and parts without a serial-number string
// are reached too: the type it reports, whether it takes the optional
// requests, and how its divisor request is addressed on the wire.
#include <gtest/gtest.h>

#include <string>

#include "sim_fixture.h"

namespace {

class ChipRevisions : public SimTest {};

TEST_F(ChipRevisions, TypeOptionalRequestsAndDivisorAddressing) {
  const struct {
    uint16_t bcd;
    const char *serial;  // null: the descriptor names no serial-number string
    int interfaces;
    unsigned long type;
    bool optional;       // latency timer, bit mode and eighth-step divisors
    int index_9500;      // wIndex of the divisor request for 9500 baud
    const char *letter;  // what the description read back ends with
  } rows[] = {
      {0x0200, "R2", 1, KX_DEVICE_BCD0200, false, 0x0000, ""},
      {0x0200, nullptr, 1, KX_DEVICE_BCD0400, true, 0x0001, ""},
      {0x0400, nullptr, 1, KX_DEVICE_BCD0400, true, 0x0001, ""},
      {0x0500, "D5", 2, KX_DEVICE_DUAL, true, 0x0101, " A"},
      {0x0600, "R6", 1, KX_DEVICE_OTHER, false, 0x0000, ""},
      {0x0700, "R7", 2, KX_DEVICE_OTHER, false, 0x0000, ""},
  };
  auto description_of = [&rows](const auto &row) { return "rev" + std::to_string(&row - rows); };
  for (const auto &row : rows) {
    vexa_sim_chip_config config = {};
    config.bcd_device = row.bcd;
    config.serial = row.serial;
    const std::string description = description_of(row);
    config.product = description.c_str();
    config.interfaces = row.interfaces;
    AddChip(config);
  }
  for (const auto &row : rows) {
    const std::string description = description_of(row);
    SCOPED_TRACE(testing::Message() << "bcdDevice 0x" << std::hex << row.bcd
                                    << (row.serial ? " with serial" : " without serial"));
    KX_HANDLE h = OpenBy(description.c_str(), KX_MATCH_DESCRIPTION);
    unsigned long type = 99;
    char text[67] = "";
    EXPECT_EQ(KX_GetDeviceInfo(h, &type, nullptr, nullptr, text, nullptr), KX_OK);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(std::string(text), description + row.letter);
    // An incapable chip is refused every optional call without a request.
    unsigned char latency = 0xEE, bits = 0xEE;
    const KX_STATUS optional = row.optional ? KX_OK : KX_ERR_UNSUPPORTED;
    vexa_sim_log_clear();
    EXPECT_EQ(KX_SetLatencyTimer(h, 40), optional);
    EXPECT_EQ(KX_GetLatencyTimer(h, &latency), optional);
    EXPECT_EQ(KX_SetBitMode(h, 0xF0, 0x01), optional);
    EXPECT_EQ(KX_GetBitMode(h, &bits), optional);
    EXPECT_EQ(ControlLog().size(), row.optional ? 4u : 0u);
    EXPECT_EQ(latency, row.optional ? 40 : 0xEE);
    vexa_sim_log_clear();
    EXPECT_EQ(KX_SetBaudRate(h, 9500), KX_OK);
    const auto sent = ControlLog(3);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].index, row.index_9500);
    Close(h);
  }
}

}  // namespace
