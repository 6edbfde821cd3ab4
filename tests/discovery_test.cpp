// Device acceptance and listing, through the shared library and simulated chips.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

using Strings = std::vector<std::string>;

class Discovery : public SimTest {
 protected:
  static uint32_t Count() {
    uint32_t count = 0xDEAD;
    EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
    return count;
  }
  // The text listed at `index` in the documented 258-byte buffer.
  static std::string ByIndex(uint32_t index, uint32_t flags, KX_STATUS expected = KX_OK) {
    char text[258];
    std::memset(text, 0x7F, sizeof text);
    std::strcpy(text, "untouched");
    EXPECT_EQ(KX_ListDevices(reinterpret_cast<void *>(static_cast<uintptr_t>(index)), text,
                             KX_LIST_INDEXED | flags),
              expected);
    // Nothing written past the terminator (or past the preset text).
    EXPECT_EQ(text[std::max<size_t>(strnlen(text, sizeof text - 1), 9) + 1], 0x7F);
    return text;
  }
};

// The built-in table takes the known pairs and one user row, which a pair of
// zeros leaves alone and which keeps 16 bits of each id.
TEST_F(Discovery, BuiltInTableAndTheUserRow) {
  const uint16_t ids[][2] = {{0x0403, 0x6010}, {0x0403, 0x6011}, {0x15D6, 0x0001}, {0x1234, 0x5678}, {0x0403, 0x6001}};
  for (const auto &id : ids) AddChip({id[0], id[1], 0, "X1", nullptr, nullptr, 0, 0, 0, 0, 0});
  EXPECT_EQ(Count(), 3u);
  const struct {
    uint32_t set_vendor, set_product, vendor, product, count;
  } rows[] = {{0x1234, 0x5678, 0x1234, 0x5678, 4}, {0, 0, 0x1234, 0x5678, 4}, {0x1FFFF, 0, 0xFFFF, 0x5678, 3}};
  uint32_t vendor = 0, product = 0;
  EXPECT_EQ(KX_GetVIDPID(&vendor, &product), KX_OK);
  EXPECT_EQ(vendor << 16 | product, 0x04036001u);
  for (const auto &row : rows) {
    EXPECT_EQ(KX_SetVIDPID(row.set_vendor, row.set_product), KX_OK);
    EXPECT_EQ(KX_GetVIDPID(&vendor, &product), KX_OK);
    EXPECT_EQ(std::vector<uint32_t>({vendor, product, Count()}),
              std::vector<uint32_t>({row.vendor, row.product, row.count}))
        << row.set_vendor;
  }
  KX_SetVIDPID(0x0403, 0x6001);
}

// Four channels get the letters A to D, and the serial number wins when both
// string bits are set. A channel without the string, or whose string cannot
// be read, is not listed; the longest string a descriptor holds fits.
TEST_F(Discovery, ListingByIndex) {
  AddChip({0, 0x6010, 0x0500, "Q4", nullptr, nullptr, 4, 0, 0, 0, 0});
  AddSingle(nullptr, "No serial");
  const std::string serial(126, 'S');
  AddDual(serial.c_str(), "Dual");
  EXPECT_EQ(Count(), 7u);
  EXPECT_EQ(Strings({ByIndex(0, KX_MATCH_SERIAL | KX_MATCH_DESCRIPTION),
                     ByIndex(2, KX_MATCH_SERIAL), ByIndex(3, KX_MATCH_SERIAL),
                     ByIndex(7, KX_MATCH_SERIAL, KX_ERR_NOT_FOUND)}),
            Strings({"Q4 A", "Q4 C", "Q4 D", "untouched"}));
  EXPECT_EQ(ByIndex(6, KX_MATCH_SERIAL), serial + " B");
  EXPECT_EQ(ByIndex(4, KX_MATCH_SERIAL, KX_ERR_OTHER), "untouched");
  EXPECT_EQ(ByIndex(4, KX_MATCH_DESCRIPTION), "No serial");
  Inject(Fault(VEXA_SIM_FAULT_STRING, -32, -1, -1, 0, 1));
  EXPECT_EQ(ByIndex(4, KX_MATCH_DESCRIPTION, KX_ERR_OTHER), "untouched");
  Inject(Fault(VEXA_SIM_FAULT_OPEN, 0, -1, -1, 0, 1));
  EXPECT_EQ(ByIndex(4, KX_MATCH_DESCRIPTION, KX_ERR_NOT_FOUND), "untouched");
}

TEST_F(Discovery, ListEveryFlagWordsAndNullArguments) {
  AddDual("AB12", "Dual");
  AddSingle("CD34", "Single");
  uint32_t count = 99;
  // Bit 31 with another bit is refused before the bus is touched: a failing
  // scan would otherwise turn the answer into KX_ERR_OTHER.
  Inject(Fault(VEXA_SIM_FAULT_FIND_DEVICES, -12, -1, -1, 0, -1));
  EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT | KX_MATCH_SERIAL), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_ERR_OTHER);
  vexa_sim_clear_faults();
  // Count with a null output is refused after the rescan.
  EXPECT_EQ(KX_ListDevices(nullptr, nullptr, KX_LIST_COUNT), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ListDevices(nullptr, nullptr, KX_LIST_EVERY | KX_MATCH_SERIAL), KX_ERR_PARAMETER);
  // Index 0 travels as a null pointer: only the buffer is required.
  EXPECT_EQ(KX_ListDevices(nullptr, nullptr, KX_LIST_INDEXED | KX_MATCH_SERIAL), KX_ERR_PARAMETER);
  char first[258] = "", second[258] = "", third[258] = "", fourth[258] = "untouched";
  char *slots[4] = {first, second, nullptr, fourth};
  EXPECT_EQ(KX_ListDevices(slots, nullptr, KX_LIST_EVERY | KX_MATCH_SERIAL), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ListDevices(nullptr, slots, KX_LIST_EVERY | KX_MATCH_SERIAL), KX_ERR_PARAMETER);
  // A string bit without a list bit only rescans.
  EXPECT_EQ(KX_ListDevices(fourth, fourth, KX_MATCH_SERIAL), KX_OK);
  EXPECT_STREQ(fourth, "untouched");
  // No string bit: refused on an attached channel, not found beyond.
  EXPECT_EQ(ByIndex(0, 0, KX_ERR_PARAMETER), "untouched");
  EXPECT_EQ(ByIndex(3, 0, KX_ERR_NOT_FOUND), "untouched");
  // Indexed and every together: both run, and the status of the last (the listing) wins.
  char *one[2] = {second, nullptr};
  EXPECT_EQ(KX_ListDevices(one, &count, KX_LIST_INDEXED | KX_LIST_EVERY | KX_MATCH_SERIAL), KX_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_STREQ(second, "AB12 A");
  // Every channel, until a null entry.
  EXPECT_EQ(KX_ListDevices(slots, &count, KX_LIST_EVERY | KX_MATCH_SERIAL), KX_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Strings({first, second, fourth}), Strings({"AB12 A", "AB12 B", "untouched"}));
  char *all[4] = {first, second, third, nullptr};
  EXPECT_EQ(KX_ListDevices(all, &count, KX_LIST_EVERY | KX_MATCH_DESCRIPTION), KX_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(third, "Single");
  // A channel without the string fails the listing; buffers written before stay.
  AddSingle(nullptr, "No serial");
  char *four[5] = {first, second, third, fourth, nullptr};
  std::strcpy(first, "");
  EXPECT_EQ(KX_ListDevices(four, &count, KX_LIST_EVERY | KX_MATCH_SERIAL), KX_ERR_OTHER);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(first, "AB12 A");
}

}  // namespace
