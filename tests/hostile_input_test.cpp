// Hostile input at the interface: null pointers, zero and huge counts,
// out-of-range offsets and rates, over-long names and EEPROM texts. Each call
// must give its documented status, send nothing to the chip when it refuses,
// and write nothing outside the buffers it was given.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

// A buffer with guard bytes on both sides.
class Guarded {
 public:
  explicit Guarded(size_t size, uint8_t fill = 0x5A)
      : size_(size), bytes_(kGuard + size + kGuard, kMark) {
    std::memset(data(), fill, size);
  }
  uint8_t *data() { return bytes_.data() + kGuard; }
  char *text() { return reinterpret_cast<char *>(data()); }
  bool Intact() const {
    for (size_t k = 0; k < kGuard; ++k)
      if (bytes_[k] != kMark || bytes_[kGuard + size_ + k] != kMark) return false;
    return true;
  }
  bool Unchanged(uint8_t fill) const {
    for (size_t k = 0; k < size_; ++k)
      if (bytes_[kGuard + k] != fill) return false;
    return Intact();
  }

 private:
  static constexpr size_t kGuard = 32;
  static constexpr uint8_t kMark = 0xCD;
  size_t size_;
  std::vector<uint8_t> bytes_;
};

class HostileInputTest : public SimTest {
 protected:
  // Control requests sent since the last call of this function.
  size_t RequestsSent() {
    size_t n = ControlLog().size();
    vexa_sim_log_clear();
    return n;
  }
};

TEST_F(HostileInputTest, NullHandleIsRefusedByEveryCallThatTakesOne) {
  AddDual("HI01", "Hostile");
  vexa_sim_log_clear();
  uint8_t buffer[16] = {};
  uint32_t u32 = 0;
  unsigned long ul = 0;
  unsigned short us = 0;
  unsigned char uc = 0;
  _EVENT_HANDLE event;
  KX_PROGRAM_DATA data = {};
  data.marker_ones = 0xFFFFFFFFu;
  const KX_HANDLE null = nullptr;
  const std::vector<std::pair<const char *, KX_STATUS>> calls = {
      {"Close", KX_Close(null)},
      {"Read", KX_Read(null, buffer, 1, &u32)},
      {"Write", KX_Write(null, buffer, 1, &u32)},
      {"SetTimeouts", KX_SetTimeouts(null, 1, 1)},
      {"GetQueueStatus", KX_GetQueueStatus(null, &u32)},
      {"GetStatus", KX_GetStatus(null, &u32, &u32, &u32)},
      {"SetEventNotification", KX_SetEventNotification(null, 1, &event)},
      {"GetEventStatus", KX_GetEventStatus(null, &u32)},
      {"StopInTask", KX_StopInTask(null)},
      {"RestartInTask", KX_RestartInTask(null)},
      {"SetBaudRate", KX_SetBaudRate(null, 9600)},
      {"SetDivisor", KX_SetDivisor(null, 1)},
      {"SetDataCharacteristics", KX_SetDataCharacteristics(null, 8, 0, 0)},
      {"SetFlowControl", KX_SetFlowControl(null, 0, 0, 0)},
      {"SetDtr", KX_SetDtr(null)},
      {"ClrDtr", KX_ClrDtr(null)},
      {"SetRts", KX_SetRts(null)},
      {"ClrRts", KX_ClrRts(null)},
      {"SetChars", KX_SetChars(null, 0, 0, 0, 0)},
      {"Purge", KX_Purge(null, 3)},
      {"SetBreakOn", KX_SetBreakOn(null)},
      {"SetBreakOff", KX_SetBreakOff(null)},
      {"ResetDevice", KX_ResetDevice(null)},
      {"SetLatencyTimer", KX_SetLatencyTimer(null, 2)},
      {"GetLatencyTimer", KX_GetLatencyTimer(null, &uc)},
      {"SetBitMode", KX_SetBitMode(null, 0, 0)},
      {"GetBitMode", KX_GetBitMode(null, &uc)},
      {"GetModemStatus", KX_GetModemStatus(null, &ul)},
      {"GetDeviceInfo", KX_GetDeviceInfo(null, &ul, &ul, nullptr, nullptr, nullptr)},
      {"ReadEE", KX_ReadEE(null, 0, &us)},
      {"WriteEE", KX_WriteEE(null, 0, 0)},
      {"EraseEE", KX_EraseEE(null)},
      {"EE_Program", KX_EE_Program(null, &data)},
      {"EE_Read", KX_EE_Read(null, &data)},
      {"EE_UASize", KX_EE_UASize(null, &u32)},
      {"EE_UAWrite", KX_EE_UAWrite(null, buffer, 1)},
      {"EE_UARead", KX_EE_UARead(null, buffer, 1, &u32)},
  };
  for (const auto &call : calls) EXPECT_EQ(call.second, KX_ERR_PARAMETER) << call.first;
  // These answer the same whatever the handle.
  EXPECT_EQ(KX_SetUSBParameters(null, 0xFFFFFFFFu, 0), KX_OK);
  EXPECT_EQ(KX_SetWaitMask(null, 1), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_WaitOnMask(null, &u32), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_IoCtl(null, 0, nullptr, 0, nullptr, 0, nullptr), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_SetResetPipeRetryCount(null, 1), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_ResetPort(null), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(Log().size(), 0u) << "a refused call reached the bus";
}

TEST_F(HostileInputTest, NullOutputsOnALiveHandleSendNothing) {
  int chip = AddDual("HI02", "Hostile");
  KX_HANDLE handle = Open(0);
  const uint8_t queued[4] = {1, 2, 3, 4};
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, queued, sizeof queued), 0);
  RequestsSent();
  uint8_t buffer[8] = {};
  uint32_t u32 = 0;
  unsigned char uc = 0;
  unsigned short us = 0;
  EXPECT_EQ(KX_Read(handle, nullptr, 4, &u32), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Read(handle, buffer, 4, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Write(handle, nullptr, 4, &u32), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Write(handle, buffer, 4, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetQueueStatus(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetStatus(handle, nullptr, &u32, &u32), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetStatus(handle, &u32, nullptr, &u32), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetStatus(handle, &u32, &u32, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetEventStatus(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetLatencyTimer(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetBitMode(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetModemStatus(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ReadEE(handle, 0, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_Program(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_Read(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UASize(handle, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UAWrite(handle, nullptr, 4), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UARead(handle, nullptr, 4, &u32), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_EE_UARead(handle, buffer, 4, nullptr), KX_ERR_PARAMETER);
  // Length 0 needs no count at all.
  EXPECT_EQ(KX_EE_UARead(handle, buffer, 0, nullptr), KX_OK);
  EXPECT_EQ(RequestsSent(), 0u);
  EXPECT_EQ(KX_GetLatencyTimer(handle, &uc), KX_OK);  // and the handle still works
  EXPECT_EQ(KX_ReadEE(handle, 0, &us), KX_OK);
  uint32_t got = 0;
  ASSERT_EQ(KX_SetTimeouts(handle, 3000, 0), KX_OK);
  EXPECT_EQ(KX_Read(handle, buffer, 4, &got), KX_OK);
  EXPECT_EQ(std::memcmp(buffer, queued, 4), 0);
  // Null outputs of the listing and open calls.
  EXPECT_EQ(KX_Open(0, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_OpenEx("HI02", KX_MATCH_SERIAL, nullptr), KX_ERR_PARAMETER);
  KX_HANDLE other = reinterpret_cast<KX_HANDLE>(0x1);
  EXPECT_EQ(KX_OpenEx(nullptr, KX_MATCH_SERIAL, &other), KX_ERR_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(vexa_sim_open_handles(), 1);
}

TEST_F(HostileInputTest, ZeroAndHugeCounts) {
  int chip = AddSingle("HI03", "Hostile", 0x0400, 64, 64);
  KX_HANDLE handle = Open(0);
  vexa_sim_log_clear();

  uint32_t count = 77;
  Guarded nothing(4);
  EXPECT_EQ(KX_Read(handle, nothing.data(), 0, &count), KX_OK);
  EXPECT_EQ(KX_Write(handle, nothing.data(), 0, &count), KX_OK);
  EXPECT_EQ(count, 77u);
  EXPECT_TRUE(BulkSizes(VEXA_SIM_LOG_BULK_OUT).empty());

  // More than the ring can ever hold: the read times out with what came,
  // and nothing lands past it.
  const size_t huge = 200000;
  Guarded big(huge, 0x00);
  std::vector<uint8_t> arriving(1000);
  for (size_t k = 0; k < arriving.size(); ++k) arriving[k] = static_cast<uint8_t>(k * 7 + 1);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, arriving.data(), arriving.size()), 0);
  ASSERT_EQ(KX_SetTimeouts(handle, 300, 0), KX_OK);
  count = 0;
  EXPECT_EQ(KX_Read(handle, big.data(), huge, &count), KX_ERR_IO);
  EXPECT_EQ(count, arriving.size());
  EXPECT_EQ(std::memcmp(big.data(), arriving.data(), arriving.size()), 0);
  EXPECT_EQ(big.data()[arriving.size()], 0x00);
  EXPECT_TRUE(big.Intact());

  // A user-area write that claims far more bytes than it has is refused
  // before a byte is read, and the EEPROM stays as it was.
  uint16_t before[64];
  for (unsigned a = 0; a < 64; ++a) vexa_sim_eeprom_get(chip, a, &before[a]);
  const uint8_t few[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(KX_EE_UAWrite(handle, few, 0xFFFFFFFFu), KX_ERR_EE_WRITE);
  for (unsigned a = 0; a < 64; ++a) {
    uint16_t word = 0;
    vexa_sim_eeprom_get(chip, a, &word);
    EXPECT_EQ(word, before[a]) << "word " << a;
  }
  // A read that asks for everything gets the area and no more.
  uint32_t area = 0;
  ASSERT_EQ(KX_EE_UASize(handle, &area), KX_OK);
  Guarded user(area, 0xEE);
  count = 0;
  EXPECT_EQ(KX_EE_UARead(handle, user.data(), 0xFFFFFFFFu, &count), KX_OK);
  EXPECT_EQ(count, area);
  EXPECT_TRUE(user.Intact());
}

TEST_F(HostileInputTest, OutOfRangeOffsetsAndRatesSendNothing) {
  int chip = AddSingle("HI04", "Hostile", 0x0400, 64, 256);
  KX_HANDLE handle = Open(0);
  RequestsSent();
  unsigned short word = 0x1234;
  // 0x10000 would read word 0 if the offset were narrowed before the test.
  for (unsigned long offset : {257ul, 0x10000ul, 0x10001ul, ULONG_MAX}) {
    EXPECT_EQ(KX_ReadEE(handle, offset, &word), KX_ERR_ARGS) << offset;
    EXPECT_EQ(KX_WriteEE(handle, offset, 0xAAAA), KX_ERR_ARGS) << offset;
  }
  EXPECT_EQ(word, 0x1234);
  EXPECT_EQ(RequestsSent(), 0u);
  EXPECT_EQ(KX_WriteEE(handle, 256, 0xBEEF), KX_OK);  // the last offset taken
  EXPECT_EQ(RequestsSent(), 1u);
  uint16_t stored = 0;
  vexa_sim_eeprom_get(chip, 0, &stored);
  EXPECT_NE(stored, 0xAAAA);

  const vexa_sim_channel_state state = State(chip, 0);
  // Rates below the slowest divisor, far beyond the fastest, and one that
  // would look like 9600 if cut to 32 bits.
  const unsigned long rates[] = {0ul, 1ul, 183ul, 3000001ul * 2, ULONG_MAX,
                                 static_cast<unsigned long>(UINT32_MAX)};
  for (unsigned long rate : rates) EXPECT_EQ(KX_SetBaudRate(handle, rate), KX_ERR_BAUD_RATE) << rate;
  if (sizeof(unsigned long) > 4) {
    const unsigned long wrapped = (1ul << 31) * 2 + 9600;
    EXPECT_EQ(KX_SetBaudRate(handle, wrapped), KX_ERR_BAUD_RATE);
  }
  EXPECT_EQ(RequestsSent(), 0u);
  EXPECT_EQ(State(chip, 0).divisor, state.divisor);
  EXPECT_EQ(KX_SetBaudRate(handle, 184), KX_OK);

  // Codes the chip interprets pass through unchanged; purge bits outside
  // the two known ones do nothing of their own.
  EXPECT_EQ(KX_SetLatencyTimer(handle, 255), KX_OK);
  EXPECT_EQ(State(chip, 0).latency_timer, 255);
  RequestsSent();
  EXPECT_EQ(KX_Purge(handle, 0), KX_OK);
  EXPECT_EQ(RequestsSent(), 0u);
  EXPECT_EQ(KX_Purge(handle, ~3ul), KX_OK);
  EXPECT_EQ(RequestsSent(), 0u);
}

TEST_F(HostileInputTest, OverLongAndOddNames) {
  AddDual("HI05", "Hostile dual");
  AddSingle("HI06", "Hostile single");
  KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
  const std::string longest(100000, 'H');
  EXPECT_EQ(KX_OpenEx(longest.c_str(), KX_MATCH_SERIAL, &handle), KX_ERR_NOT_FOUND);
  EXPECT_EQ(handle, nullptr);
  // The serial number followed by junk: matched, but no channel letter.
  const std::string junk = "HI05" + std::string(5000, 'x');
  EXPECT_EQ(KX_OpenEx(junk.c_str(), KX_MATCH_SERIAL, &handle), KX_ERR_NOT_OPENED);
  EXPECT_EQ(KX_OpenEx("HI05 Z", KX_MATCH_SERIAL, &handle), KX_ERR_NOT_OPENED);
  EXPECT_EQ(KX_OpenEx("\xFF\xFE", KX_MATCH_DESCRIPTION, &handle), KX_ERR_NOT_FOUND);
  EXPECT_EQ(KX_OpenEx("HI05 A", 0, &handle), KX_ERR_PARAMETER);
  EXPECT_EQ(handle, nullptr);
  // Both match bits: serial number first; bits above them are ignored.
  Close(OpenBy("HI05 B", KX_MATCH_SERIAL | KX_MATCH_DESCRIPTION | 0xFFFF0000u));
  // -1 is the internal "by name" index: with no name it is a bad argument.
  EXPECT_EQ(KX_Open(-1, &handle), KX_ERR_PARAMETER);
  EXPECT_EQ(handle, nullptr);
  for (int index : {-2, 3, 1000, INT_MAX, INT_MIN}) {
    EXPECT_EQ(KX_Open(index, &handle), KX_ERR_NOT_FOUND) << index;
    EXPECT_EQ(handle, nullptr);
  }
  // Listing an index far past the end leaves the buffer alone.
  Guarded name(258, 0x77);
  EXPECT_EQ(KX_ListDevices(reinterpret_cast<void *>(uintptr_t{0xFFFFFFFFu}), name.text(),
                           KX_LIST_INDEXED | KX_MATCH_SERIAL),
            KX_ERR_NOT_FOUND);
  EXPECT_TRUE(name.Unchanged(0x77));
  EXPECT_EQ(vexa_sim_open_handles(), 0);
}

KX_PROGRAM_DATA Record(char *manufacturer, char *prefix, char *description, char *serial) {
  KX_PROGRAM_DATA data = {};
  data.marker_ones = 0xFFFFFFFFu;
  data.vendor_id = 0x0403;
  data.product_id = 0x6001;
  data.manufacturer = manufacturer;
  data.manufacturer_id = prefix;
  data.description = description;
  data.serial_number = serial;
  return data;
}

TEST_F(HostileInputTest, HostileEepromTexts) {
  int chip = AddSingle("HI07", "Hostile", 0x0400, 64, 64);
  KX_HANDLE handle = Open(0);
  uint16_t before[64];
  for (unsigned a = 0; a < 64; ++a) vexa_sim_eeprom_get(chip, a, &before[a]);
  auto eeprom_unchanged = [&] {
    for (unsigned a = 0; a < 64; ++a) {
      uint16_t word = 0;
      vexa_sim_eeprom_get(chip, a, &word);
      if (word != before[a]) return false;
    }
    return true;
  };

  // Texts far too long for the part, each alone: refused, EEPROM untouched.
  std::string huge(5000, 'T');
  char empty[] = "";
  for (int which = 0; which < 3; ++which) {
    KX_PROGRAM_DATA data = Record(which == 0 ? &huge[0] : empty, empty,
                                  which == 1 ? &huge[0] : empty, which == 2 ? &huge[0] : empty);
    EXPECT_EQ(KX_EE_Program(handle, &data), KX_ERR_OTHER) << which;
    EXPECT_TRUE(eeprom_unchanged()) << which;
  }

  // Null texts, an over-long serial prefix and an absurd power: programmed
  // with empty texts, a two-character prefix and the power capped.
  std::string prefix(300, 'P');
  KX_PROGRAM_DATA data = Record(nullptr, &prefix[0], nullptr, nullptr);
  data.max_power = 0xFFFF;
  ASSERT_EQ(KX_EE_Program(handle, &data), KX_OK);
  Guarded manufacturer(64), id(64), description(64), serial(64);
  KX_PROGRAM_DATA back = Record(manufacturer.text(), id.text(), description.text(), serial.text());
  ASSERT_EQ(KX_EE_Read(handle, &back), KX_OK);
  EXPECT_STREQ(manufacturer.text(), "");
  EXPECT_STREQ(description.text(), "");
  EXPECT_EQ(std::string(serial.text()).substr(0, 2), "PP");
  EXPECT_LE(std::strlen(serial.text()), 16u);
  EXPECT_EQ(back.max_power, 500);
  EXPECT_TRUE(manufacturer.Intact() && id.Intact() && description.Intact() && serial.Intact());

  // Strings in the EEPROM that claim to run past the image: decoded into the
  // 64-byte buffers without a byte beyond them.
  for (unsigned a = 7; a < 64; ++a) vexa_sim_eeprom_set(chip, a, 0x03FE);
  vexa_sim_eeprom_set(chip, 7, 0xFE8E);  // manufacturer: offset 0x8E, length 0xFE
  vexa_sim_eeprom_set(chip, 8, 0xFE80);
  vexa_sim_eeprom_set(chip, 9, 0xFE82);
  Guarded m2(64, 0x11), i2(64, 0x11), d2(64, 0x11), s2(64, 0x11);
  KX_PROGRAM_DATA hostile = Record(m2.text(), i2.text(), d2.text(), s2.text());
  const KX_STATUS status = KX_EE_Read(handle, &hostile);
  EXPECT_TRUE(status == KX_OK || status == KX_ERR_EE_ABSENT || status == KX_ERR_EE_BLANK);
  EXPECT_TRUE(m2.Intact() && i2.Intact() && d2.Intact() && s2.Intact());
  if (status == KX_OK) {
    EXPECT_LT(std::strlen(m2.text()), 64u);
    EXPECT_LT(std::strlen(d2.text()), 64u);
    EXPECT_LT(std::strlen(s2.text()), 64u);
  }
}

}  // namespace
