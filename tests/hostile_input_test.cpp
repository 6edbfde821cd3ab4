// Hostile input at the interface: each call gives its documented status,
// sends nothing to the chip when it refuses, and writes nothing outside the
// buffers it was given.
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sim_fixture.h"

namespace {

// A buffer with 32 guard bytes on both sides.
struct Guarded {
  explicit Guarded(size_t size, uint8_t fill = 0x5A) : size(size), bytes(64 + size, 0xCD) {
    std::memset(data(), fill, size);
  }
  uint8_t *data() { return bytes.data() + 32; }
  char *text() { return reinterpret_cast<char *>(data()); }
  // The guards untouched and, with `fill` given, the contents too.
  bool Intact(int fill = -1) const {
    for (size_t k = 0; k < bytes.size(); ++k) {
      const bool guard = k < 32 || k >= 32 + size;
      if (guard ? bytes[k] != 0xCD : fill >= 0 && bytes[k] != fill) return false;
    }
    return true;
  }
  size_t size;
  std::vector<uint8_t> bytes;
};

using Rows = std::vector<std::pair<const char *, KX_STATUS>>;
#define ROW(call) {#call, call}

void ExpectEvery(const Rows &rows, KX_STATUS expected) {
  for (const auto &row : rows) EXPECT_EQ(row.second, expected) << row.first;
}

class HostileInputTest : public SimTest {};

// Every call that takes a handle refuses a null one, and every required
// output or input pointer, with a chip on the bus that a stray call could
// reach: nothing may reach the bus, and the live handle keeps working.
TEST_F(HostileInputTest, NullHandlesAndPointersAreRefusedWithoutTouchingTheBus) {
  int chip = AddDual("HI01", "Hostile");
  KX_HANDLE h = Open(0);
  const uint8_t queued[4] = {1, 2, 3, 4};
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, queued, sizeof queued), 0);
  vexa_sim_log_clear();
  uint8_t buffer[16] = {};
  uint32_t u32 = 0;
  unsigned char byte = 0;
  unsigned short word = 0;
  unsigned long ulong = 0;
  _EVENT_HANDLE event;
  KX_PROGRAM_DATA record = ProgramRecord("", "", "");
  const KX_HANDLE null = nullptr;
  KX_HANDLE other = reinterpret_cast<KX_HANDLE>(0x1);
  ExpectEvery({ROW(KX_Close(null)), ROW(KX_Read(null, buffer, 1, &u32)), ROW(KX_Write(null, buffer, 1, &u32)),
               ROW(KX_SetTimeouts(null, 1, 1)), ROW(KX_GetQueueStatus(null, &u32)),
               ROW(KX_GetStatus(null, &u32, &u32, &u32)), ROW(KX_SetEventNotification(null, 1, &event)),
               ROW(KX_GetEventStatus(null, &u32)), ROW(KX_StopInTask(null)), ROW(KX_RestartInTask(null)),
               ROW(KX_SetBaudRate(null, 9600)), ROW(KX_SetDivisor(null, 1)),
               ROW(KX_SetDataCharacteristics(null, 8, 0, 0)), ROW(KX_SetFlowControl(null, 0, 0, 0)),
               ROW(KX_SetDtr(null)), ROW(KX_ClrDtr(null)), ROW(KX_SetRts(null)), ROW(KX_ClrRts(null)),
               ROW(KX_SetChars(null, 0, 0, 0, 0)), ROW(KX_Purge(null, 3)), ROW(KX_SetBreakOn(null)),
               ROW(KX_SetBreakOff(null)), ROW(KX_ResetDevice(null)), ROW(KX_SetLatencyTimer(null, 1)),
               ROW(KX_GetLatencyTimer(null, &byte)), ROW(KX_SetBitMode(null, 0, 0)), ROW(KX_GetBitMode(null, &byte)),
               ROW(KX_GetModemStatus(null, &ulong)),
               ROW(KX_GetDeviceInfo(null, &ulong, &ulong, nullptr, nullptr, nullptr)),
               // A null handle is refused before the offset is looked at.
               ROW(KX_ReadEE(null, 300, &word)), ROW(KX_WriteEE(null, 300, 1)), ROW(KX_EraseEE(null)),
               ROW(KX_EE_Program(null, &record)), ROW(KX_EE_Read(null, &record)), ROW(KX_EE_UASize(null, &u32)),
               ROW(KX_EE_UAWrite(null, buffer, 1)), ROW(KX_EE_UARead(null, buffer, 4, &u32))},
              KX_ERR_PARAMETER);
  ExpectEvery({ROW(KX_Read(h, nullptr, 4, &u32)), ROW(KX_Read(h, buffer, 4, nullptr)),
               ROW(KX_Write(h, buffer, 1, nullptr)), ROW(KX_Write(h, nullptr, 1, &u32)),
               ROW(KX_GetQueueStatus(h, nullptr)), ROW(KX_GetStatus(h, nullptr, &u32, &u32)),
               ROW(KX_GetStatus(h, &u32, nullptr, &u32)), ROW(KX_GetStatus(h, &u32, &u32, nullptr)),
               ROW(KX_GetEventStatus(h, nullptr)), ROW(KX_GetLatencyTimer(h, nullptr)),
               ROW(KX_GetBitMode(h, nullptr)), ROW(KX_GetModemStatus(h, nullptr)), ROW(KX_ReadEE(h, 300, nullptr)),
               ROW(KX_ReadEE(h, 1, nullptr)), ROW(KX_EE_Program(h, nullptr)), ROW(KX_EE_Read(h, nullptr)),
               ROW(KX_EE_UASize(h, nullptr)), ROW(KX_EE_UAWrite(h, nullptr, 4)),
               ROW(KX_EE_UARead(h, nullptr, 4, &u32)), ROW(KX_EE_UARead(h, buffer, 4, nullptr)),
               ROW(KX_Open(0, nullptr)), ROW(KX_OpenEx("HI01", KX_MATCH_SERIAL, nullptr)),
               ROW(KX_OpenEx(nullptr, KX_MATCH_SERIAL, &other))},
              KX_ERR_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(KX_EE_UARead(h, buffer, 0, nullptr), KX_OK) << "length 0 needs no count";
  // These answer the same whatever the handle.
  EXPECT_EQ(KX_SetUSBParameters(null, 0xFFFFFFFFu, 0), KX_OK);
  ExpectEvery({ROW(KX_SetWaitMask(null, 1)), ROW(KX_WaitOnMask(null, &u32))}, KX_ERR_UNSUPPORTED);
  for (KX_HANDLE handle : {null, h}) {
    ExpectEvery({ROW(KX_IoCtl(handle, 1, buffer, 4, buffer, 4, &u32)), ROW(KX_SetResetPipeRetryCount(handle, 3)),
                 ROW(KX_ResetPort(handle))},
                KX_ERR_UNSUPPORTED);
  }
  EXPECT_TRUE(ControlLog().empty()) << "a refused call reached the bus";
  EXPECT_TRUE(BulkSizes(VEXA_SIM_LOG_BULK_OUT).empty());
  uint32_t got = 0;
  ASSERT_EQ(KX_SetTimeouts(h, 3000, 0), KX_OK);
  EXPECT_EQ(KX_Read(h, buffer, 4, &got), KX_OK);
  EXPECT_EQ(std::memcmp(buffer, queued, 4), 0);
}

TEST_F(HostileInputTest, ZeroAndHugeCountsOutOfRangeOffsetsAndRates) {
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
  EXPECT_EQ(KX_Read(handle, big.data(), huge, &count), KX_ERR_IO);
  EXPECT_EQ(count, arriving.size());
  EXPECT_EQ(std::memcmp(big.data(), arriving.data(), arriving.size()), 0);
  EXPECT_EQ(big.data()[arriving.size()], 0x00);
  EXPECT_TRUE(big.Intact());

  // A user-area write that claims far more bytes than it has is refused
  // before a byte is read; a read that asks for everything gets the area.
  const std::vector<uint16_t> before = EepromWords(chip);
  const uint8_t few[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(KX_EE_UAWrite(handle, few, 0xFFFFFFFFu), KX_ERR_EE_WRITE);
  EXPECT_EQ(EepromWords(chip), before);
  uint32_t area = 0;
  ASSERT_EQ(KX_EE_UASize(handle, &area), KX_OK);
  Guarded user(area, 0xEE);
  EXPECT_EQ(KX_EE_UARead(handle, user.data(), 0xFFFFFFFFu, &count), KX_OK);
  EXPECT_EQ(count, area);
  EXPECT_TRUE(user.Intact());

  // Offsets and rates out of range send nothing.
  vexa_sim_log_clear();
  unsigned short word = 0x1234;
  // 0x10000 would read word 0 if the offset were narrowed before the test.
  for (unsigned long offset : {0x10000ul, ULONG_MAX}) {
    EXPECT_EQ(KX_ReadEE(handle, offset, &word), KX_ERR_ARGS) << offset;
    EXPECT_EQ(KX_WriteEE(handle, offset, 0xAAAA), KX_ERR_ARGS) << offset;
  }
  EXPECT_EQ(word, 0x1234);
  // Far beyond the fastest rate, and one that would look like 9600 if cut to 32 bits.
  EXPECT_EQ(KX_SetBaudRate(handle, ULONG_MAX), KX_ERR_BAUD_RATE);
  if (sizeof(unsigned long) > 4) {
    EXPECT_EQ(KX_SetBaudRate(handle, (1ul << 31) * 2 + 9600), KX_ERR_BAUD_RATE);
  }
  EXPECT_EQ(ControlLog().size(), 0u);
}

TEST_F(HostileInputTest, OverLongAndOddNames) {
  AddDual("HI05", "Hostile dual");
  AddSingle("HI06", "Hostile single");
  KX_HANDLE handle = reinterpret_cast<KX_HANDLE>(0x1);
  const std::string longest(100000, 'H');
  // The serial number followed by junk is matched, but has no channel letter.
  const std::string junk = "HI05" + std::string(5000, 'x');
  const struct {
    const char *name;
    uint32_t flags;
    KX_STATUS status;
  } rows[] = {{longest.c_str(), KX_MATCH_SERIAL, KX_ERR_NOT_FOUND},
              {junk.c_str(), KX_MATCH_SERIAL, KX_ERR_NOT_OPENED},
              {"HI05 Z", KX_MATCH_SERIAL, KX_ERR_NOT_OPENED},
              {"\xFF\xFE", KX_MATCH_DESCRIPTION, KX_ERR_NOT_FOUND},
              {"HI05 A", 0, KX_ERR_PARAMETER}};
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.name).substr(0, 12));
    handle = reinterpret_cast<KX_HANDLE>(0x1);
    EXPECT_EQ(KX_OpenEx(row.name, row.flags, &handle), row.status);
    EXPECT_EQ(handle, nullptr);
  }
  // Both match bits: serial number first; bits above them are ignored.
  Close(OpenBy("HI05 B", KX_MATCH_SERIAL | KX_MATCH_DESCRIPTION | 0xFFFF0000u));
  // -1 is the internal "by name" index: with no name it is a bad argument.
  EXPECT_EQ(KX_Open(-1, &handle), KX_ERR_PARAMETER);
  for (int index : {-2, 3, 1000, INT_MAX, INT_MIN}) {
    handle = reinterpret_cast<KX_HANDLE>(0x1);
    EXPECT_EQ(KX_Open(index, &handle), KX_ERR_NOT_FOUND) << index;
    EXPECT_EQ(handle, nullptr);
  }
  // Listing an index far past the end leaves the buffer alone.
  Guarded name(258, 0x77);
  EXPECT_EQ(KX_ListDevices(reinterpret_cast<void *>(uintptr_t{0xFFFFFFFFu}), name.text(),
                           KX_LIST_INDEXED | KX_MATCH_SERIAL),
            KX_ERR_NOT_FOUND);
  EXPECT_TRUE(name.Intact(0x77));
}

TEST_F(HostileInputTest, HostileEepromTexts) {
  AddSingle("HI07", "Hostile", 0x0400, 64, 64);
  KX_HANDLE handle = Open(0);
  // Null texts and an over-long serial prefix are programmed as empty texts
  // and a prefix of two characters.
  std::string prefix(300, 'P');
  KX_PROGRAM_DATA data = ProgramRecord(nullptr, nullptr, nullptr, prefix.c_str());
  ASSERT_EQ(KX_EE_Program(handle, &data), KX_OK);
  Guarded manufacturer(64), id(64), description(64), serial(64);
  KX_PROGRAM_DATA back = ProgramRecord(manufacturer.text(), description.text(), serial.text(), id.text());
  ASSERT_EQ(KX_EE_Read(handle, &back), KX_OK);
  EXPECT_EQ(std::string(manufacturer.text()) + "|" + description.text() + "|" + id.text(), "||PP");
  EXPECT_TRUE(manufacturer.Intact() && id.Intact() && description.Intact() && serial.Intact());
}

}  // namespace
