// Chips that vanish and requests or transfers that fail: every call comes back
// with its documented status within its time-out, closing releases
// everything, and a reader thread facing a dead device does not spin.
#include <errno.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// CPU share of the whole process while the test thread sleeps for `window`.
// Under valgrind every instruction costs many times more, so the share says
// nothing there and reads as zero; the count of bulk retries still shows a spin.
double CpuShareOver(milliseconds window) {
  auto cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double cpu_before = cpu();
  const Clock::time_point before = Clock::now();
  std::this_thread::sleep_for(window);
  if (std::getenv("VEXA_UNDER_VALGRIND")) return 0.0;
  return (cpu() - cpu_before) / std::chrono::duration<double>(Clock::now() - before).count();
}

// Every call on a handle whose chip is gone, with the status it must give.
// Outputs are preset to a marker so that a failed call is seen not to write.
void ExpectDeadHandleStatuses(KX_HANDLE handle) {
  // Whatever was buffered before the chip went stays readable.
  const uint32_t queued = Queued(handle);
  uint32_t got = 0, written = 12345, size = 0, returned = 0;
  std::vector<uint8_t> buffer(queued + 1);
  EXPECT_EQ(KX_Read(handle, buffer.data(), queued, &got), KX_OK);
  EXPECT_EQ(got, queued);
  unsigned char byte = 0xA5;
  unsigned short word = 0xBEEF;
  const KX_STATUS io_errors[] = {
      KX_SetDivisor(handle, 0x4138), KX_SetDataCharacteristics(handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE),
      KX_SetFlowControl(handle, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_SetDtr(handle), KX_ClrDtr(handle),
      KX_SetRts(handle), KX_ClrRts(handle), KX_SetChars(handle, 'a', 1, 'b', 1),
      KX_Purge(handle, KX_PURGE_RX | KX_PURGE_TX), KX_SetBreakOn(handle), KX_SetBreakOff(handle),
      KX_ResetDevice(handle), KX_SetLatencyTimer(handle, 4), KX_SetBitMode(handle, 0xFF, 1),
      KX_GetLatencyTimer(handle, &byte), KX_GetBitMode(handle, &byte), KX_ReadEE(handle, 3, &word),
      KX_WriteEE(handle, 3, 0x1234), KX_EraseEE(handle)};
  for (size_t k = 0; k < sizeof io_errors / sizeof *io_errors; ++k) EXPECT_EQ(io_errors[k], KX_ERR_IO) << "call " << k;
  // The modem status and device information answer from the record; the
  // EEPROM reads as zeros: an absent configuration, the record untouched.
  // (Programming a chip that is gone: DeviceVanishingAtAnyStepOfProgramming.)
  unsigned long modem = 7;
  char serial[32] = "keep", description[80] = "keep", text[64] = "untouched";
  KX_PROGRAM_DATA data = ProgramRecord(text, text, text, text);
  data.vendor_id = 0x1111;
  uint8_t area[256];
  const std::pair<KX_STATUS, KX_STATUS> others[] = {
      {KX_SetBaudRate(handle, 9600), KX_ERR_BAUD_RATE}, {KX_SetTimeouts(handle, 60, 0), KX_OK},
      {KX_GetModemStatus(handle, &modem), KX_OK},
      {KX_GetDeviceInfo(handle, nullptr, nullptr, serial, description, nullptr), KX_OK},
      {KX_EE_Read(handle, &data), KX_ERR_EE_ABSENT},
      {KX_EE_UASize(handle, &size), KX_OK},
      {KX_EE_UARead(handle, area, sizeof area, &returned), KX_OK},
      {KX_Write(handle, buffer.data(), 1, &written), KX_ERR_WRITE}};
  for (const auto &call : others) EXPECT_EQ(call.first, call.second) << &call - others;
  EXPECT_EQ(std::vector<int>({byte, word, data.vendor_id}),
            std::vector<int>({0xA5, 0xBEEF, 0x1111}));
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(written, 12345u);
  EXPECT_EQ(returned, size);
  EXPECT_EQ(modem & 0x0F, 0u);
  EXPECT_LT(std::strlen(serial), 19u);
  EXPECT_LT(std::strlen(description), 67u);
  // Then reads time out.
  const Clock::time_point before = Clock::now();
  EXPECT_EQ(Within(5000, [&] { return KX_Read(handle, buffer.data(), 1, &got); }), KX_ERR_IO);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(Clock::now() - before, milliseconds(50));
}

class FaultTest : public SimTest {
 protected:
  // The reader of a dead or failing chip must back off rather than retry at full speed.
  static void ExpectNoSpin(int chip) {
    vexa_sim_log_clear();
    EXPECT_LT(CpuShareOver(milliseconds(300)), 0.3) << "the process burnt CPU";
    size_t attempts = 0;
    for (const auto &entry : Log()) attempts += entry.kind == VEXA_SIM_LOG_BULK_IN && entry.chip == chip;
    EXPECT_LT(attempts, 60u) << "bulk reads retried without a pause";
  }
  void CloseWithin(KX_HANDLE handle, milliseconds limit) {
    const Clock::time_point start = Clock::now();
    Within(5000, [&] {
      Close(handle);
      return 0;
    });
    EXPECT_LT(Clock::now() - start, limit);
  }
};

// After the unplug the handle outlives its bus entry: a rescan frees the
// entry and a newcomer takes its place, and no call may touch it.
TEST_F(FaultTest, UnplugDuringAWaitingReadThenEveryCallOnTheDeadHandle) {
  int chip = AddDual("FA01", "Fault"), other = AddSingle("FA02", "Other");
  KX_HANDLE handle = Open(1), bystander = Open(2);
  ASSERT_EQ(KX_SetTimeouts(handle, 400, 0), KX_OK);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 1, "abc", 3), 0);
  ASSERT_TRUE(Eventually([&] { return Queued(handle) == 3; }));
  uint8_t buffer[10] = {};
  uint32_t got = 99;
  const Clock::time_point start = Clock::now();
  auto read = std::async(std::launch::async, [&] { return KX_Read(handle, buffer, 10, &got); });
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_EQ(vexa_sim_unplug(chip), 0);
  ASSERT_EQ(read.wait_for(milliseconds(5000)), std::future_status::ready) << "read hangs";
  EXPECT_EQ(read.get(), KX_ERR_IO);
  EXPECT_GE(Clock::now() - start, milliseconds(390));
  EXPECT_EQ(std::string(buffer, buffer + got), "abc");
  ExpectNoSpin(chip);
  uint32_t count = 99;
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  AddSingle("FA10", "Newcomer", 0x0600);
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  EXPECT_EQ(count, 2u);
  unsigned long type = 0, id = 0;
  EXPECT_EQ(KX_GetDeviceInfo(handle, &type, &id, nullptr, nullptr, nullptr), KX_OK);
  EXPECT_EQ(type, KX_DEVICE_DUAL);
  EXPECT_EQ(id, 0x04036010ul);
  ExpectDeadHandleStatuses(handle);
  EXPECT_EQ(KX_StopInTask(handle), KX_OK);
  EXPECT_EQ(KX_RestartInTask(handle), KX_OK);
  CloseWithin(handle, milliseconds(1000));
  EXPECT_EQ(State(chip, 1).claimed, 0);
  // The other chip never noticed.
  ASSERT_TRUE(Deliver(other, 0, Pattern(5)));
  EXPECT_EQ(ReadExactly(bystander, 5), Pattern(5));
}

// The device stops answering after `skip` control requests: from the
// library's side exactly what an unplug in the middle of a sequence is.
TEST_F(FaultTest, DeviceVanishingAtAnyStepOfProgrammingIsAWriteFailure) {
  int chip = AddSingle("FA03", "Fault", 0x0400, 64, 64);
  KX_HANDLE handle = Open(0);
  KX_PROGRAM_DATA data = ProgramRecord("MK", "Fault", "MK0001");
  const uint8_t user[6] = {9, 8, 7, 6, 5, 4};
  // Program: erase, 64 word writes, 64 read-backs. User area: 64 reads, erase,
  // 64 writes, 64 read-backs. Every 4th step, and the very last one.
  const struct {
    const char *what;
    std::function<KX_STATUS()> call;
    int requests;
  } rows[] = {{"program", [&] { return KX_EE_Program(handle, &data); }, 129},
              {"user area", [&] { return KX_EE_UAWrite(handle, user, sizeof user); }, 193}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    vexa_sim_clear_faults();
    vexa_sim_log_clear();
    ASSERT_EQ(row.call(), KX_OK);
    ASSERT_EQ(static_cast<int>(ControlLog().size()), row.requests);
    for (int skip = 0;; skip = std::min(skip + 4, row.requests - 1)) {
      vexa_sim_clear_faults();
      Inject(Fault(VEXA_SIM_FAULT_CONTROL, -ENODEV, chip, -1, skip, -1));
      EXPECT_EQ(row.call(), KX_ERR_EE_WRITE) << "vanished after " << skip;
      if (skip == row.requests - 1) break;
    }
  }
  vexa_sim_clear_faults();
  Close(handle);
}

// Streaming is paused process-wide; a test must never leave it paused.
struct InTaskPause {
  explicit InTaskPause(KX_HANDLE handle) : handle(handle) { EXPECT_EQ(KX_StopInTask(handle), KX_OK); }
  ~InTaskPause() { KX_RestartInTask(handle); }
  KX_HANDLE handle;
};

TEST_F(FaultTest, UnplugWhileTheInTaskIsStoppedStillClosesAtOnce) {
  int chip = AddDual("FA06", "Fault");
  KX_HANDLE a = Open(0);
  KX_HANDLE b = Open(1);
  ASSERT_EQ(KX_SetLatencyTimer(a, 1), KX_OK);
  {
    InTaskPause pause(b);  // b outlives the pause; a is closed inside it
    // A transfer already under way may finish; after that nothing is read.
    std::this_thread::sleep_for(milliseconds(50));
    const uint8_t bytes[64] = {};
    ASSERT_EQ(vexa_sim_queue_rx(chip, 0, bytes, sizeof bytes), 0);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(vexa_sim_rx_pending(chip, 0), sizeof bytes);
    ASSERT_EQ(vexa_sim_unplug(chip), 0);
    CloseWithin(a, milliseconds(1000));
    // Calls on the other channel of the dead chip fail but return.
    EXPECT_EQ(KX_SetDtr(b), KX_ERR_IO);
    EXPECT_EQ(KX_RestartInTask(b), KX_OK);
  }
  // With streaming running again the reader meets the dead device; closing is still prompt.
  EXPECT_LT(CpuShareOver(milliseconds(200)), 0.3);
  CloseWithin(b, milliseconds(5000));
  EXPECT_EQ(State(chip, 0).claimed, 0);
  EXPECT_EQ(State(chip, 1).claimed, 0);
}

// The modem-status and latency queries, the only requests of the open, are
// not essential: the handle opens with those fields at their defaults, and
// works. Bulk reads failing or stalled for a while lose nothing.
TEST_F(FaultTest, RequestsAndTransfersFailingForAWhile) {
  int chip = AddSingle("FA07", "Fault", 0x0400);
  vexa_sim_set_status(chip, 0, 0xF0, 0x00);
  Inject(Fault(VEXA_SIM_FAULT_CONTROL, -EPIPE, chip, 5));
  Inject(Fault(VEXA_SIM_FAULT_CONTROL, 0, chip, 10));  // an empty reply
  KX_HANDLE handle = Open(0);
  EXPECT_EQ(ControlLog(5).size(), 1u);
  EXPECT_EQ(ControlLog(10).size(), 1u);
  unsigned char latency = 0xEE;
  EXPECT_EQ(KX_GetLatencyTimer(handle, &latency), KX_ERR_IO);
  EXPECT_EQ(latency, 0xEE);
  vexa_sim_clear_faults();
  EXPECT_EQ(KX_GetLatencyTimer(handle, &latency), KX_OK);
  EXPECT_EQ(latency, 16);
  Inject(Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip, -1, 0, 6));
  ASSERT_TRUE(Deliver(chip, 0, Pattern(5000, 9)));
  EXPECT_EQ(ReadExactly(handle, 5000), Pattern(5000, 9));
  size_t failed = 0;
  for (const auto &entry : Log())
    failed += entry.kind == VEXA_SIM_LOG_BULK_IN && entry.result == -EIO;
  EXPECT_EQ(failed, 6u);
  // A stalled endpoint reads as zero bytes; the stream resumes after it.
  ASSERT_EQ(vexa_sim_set_stalled(chip, 0, 1), 0);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, Pattern(100).data(), 100), 0);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(Queued(handle), 0u);
  ASSERT_EQ(vexa_sim_set_stalled(chip, 0, 0), 0);
  EXPECT_EQ(ReadExactly(handle, 100), Pattern(100));
  Close(handle);
  EXPECT_EQ(State(chip, 0).claimed, 0);
}

}  // namespace
