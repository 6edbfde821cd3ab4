// Faults: chips that vanish in the middle of reads, writes, EEPROM
// programming and streaming, control requests that fail while a handle
// opens, bulk reads that fail for a while. Every call must come back with a
// documented status within its time-out, closing must release everything,
// and a reader thread facing a dead device must not spin.
#include <errno.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs fn on its own thread; a call still running after `limit` is a hang,
// reported as such instead of stalling the suite until its time-out.
template <typename Fn>
auto Within(milliseconds limit, Fn fn) -> decltype(fn()) {
  auto task = std::async(std::launch::async, fn);
  if (task.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "call did not return within %lld ms\n", static_cast<long long>(limit.count()));
    std::abort();
  }
  return task.get();
}

// Waits (bounded) until the condition holds; for test set-up only.
bool WaitUntil(const std::function<bool()> &condition) {
  const Clock::time_point end = Clock::now() + milliseconds(5000);
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

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

std::vector<uint8_t> Pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>((k * 131 + seed) >> 1);
  return bytes;
}

KX_PROGRAM_DATA Record(char *text) {
  KX_PROGRAM_DATA data = {};
  data.marker_ones = 0xFFFFFFFFu;
  data.vendor_id = 0x0403;
  data.product_id = 0x6001;
  data.manufacturer = data.manufacturer_id = data.description = data.serial_number = text;
  data.max_power = 90;
  return data;
}

// Every call on a handle whose chip is gone, with the status it must give.
// Outputs are preset to a marker so that a failed call is seen not to write.
void ExpectDeadHandleStatuses(KX_HANDLE handle) {
  unsigned char byte = 0xA5;
  unsigned short word = 0xBEEF;
  const struct {
    const char *call;
    KX_STATUS got, expected;
  } rows[] = {
      {"SetBaudRate", KX_SetBaudRate(handle, 9600), KX_ERR_BAUD_RATE},
      {"SetDivisor", KX_SetDivisor(handle, 0x4138), KX_ERR_IO},
      {"SetDataCharacteristics", KX_SetDataCharacteristics(handle, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE), KX_ERR_IO},
      {"SetFlowControl", KX_SetFlowControl(handle, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_ERR_IO},
      {"SetDtr", KX_SetDtr(handle), KX_ERR_IO},
      {"ClrDtr", KX_ClrDtr(handle), KX_ERR_IO},
      {"SetRts", KX_SetRts(handle), KX_ERR_IO},
      {"ClrRts", KX_ClrRts(handle), KX_ERR_IO},
      {"SetChars", KX_SetChars(handle, 'a', 1, 'b', 1), KX_ERR_IO},
      {"Purge", KX_Purge(handle, KX_PURGE_RX | KX_PURGE_TX), KX_ERR_IO},
      {"SetBreakOn", KX_SetBreakOn(handle), KX_ERR_IO},
      {"SetBreakOff", KX_SetBreakOff(handle), KX_ERR_IO},
      {"ResetDevice", KX_ResetDevice(handle), KX_ERR_IO},
      {"SetLatencyTimer", KX_SetLatencyTimer(handle, 4), KX_ERR_IO},
      {"SetBitMode", KX_SetBitMode(handle, 0xFF, 1), KX_ERR_IO},
      {"GetLatencyTimer", KX_GetLatencyTimer(handle, &byte), KX_ERR_IO},
      {"GetBitMode", KX_GetBitMode(handle, &byte), KX_ERR_IO},
      {"ReadEE", KX_ReadEE(handle, 3, &word), KX_ERR_IO},
      {"WriteEE", KX_WriteEE(handle, 3, 0x1234), KX_ERR_IO},
      {"EraseEE", KX_EraseEE(handle), KX_ERR_IO},
      {"SetTimeouts", KX_SetTimeouts(handle, 60, 0), KX_OK},  // no request behind it
  };
  for (const auto &row : rows) EXPECT_EQ(row.got, row.expected) << row.call;
  EXPECT_EQ(byte, 0xA5);
  EXPECT_EQ(word, 0xBEEF);

  // These answer from the record.
  unsigned long modem = 7, type = 99, id = 0;
  EXPECT_EQ(KX_GetModemStatus(handle, &modem), KX_OK);
  EXPECT_EQ(modem & 0x0F, 0u);
  char serial[32] = "keep", description[80] = "keep";
  EXPECT_EQ(KX_GetDeviceInfo(handle, &type, &id, serial, description, nullptr), KX_OK);
  EXPECT_EQ(id >> 16, 0x0403u);
  EXPECT_LT(std::strlen(serial), 19u);
  EXPECT_LT(std::strlen(description), 67u);

  // Whatever was buffered before the chip went stays readable; then reads time out.
  uint32_t queued = 0, got = 0;
  EXPECT_EQ(KX_GetQueueStatus(handle, &queued), KX_OK);
  std::vector<uint8_t> buffer(queued + 1);
  if (queued) {
    EXPECT_EQ(KX_Read(handle, buffer.data(), queued, &got), KX_OK);
    EXPECT_EQ(got, queued);
  }
  const Clock::time_point before = Clock::now();
  EXPECT_EQ(Within(milliseconds(5000), [&] { return KX_Read(handle, buffer.data(), 1, &got); }), KX_ERR_IO);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(Clock::now() - before, milliseconds(50));
  uint32_t written = 12345;
  EXPECT_EQ(KX_Write(handle, buffer.data(), 1, &written), KX_ERR_WRITE);
  EXPECT_EQ(written, 12345u);

  // The EEPROM reads as zeros: an absent configuration, the record untouched.
  char text[64] = "untouched";
  KX_PROGRAM_DATA data = Record(text);
  data.vendor_id = 0x1111;
  EXPECT_EQ(KX_EE_Read(handle, &data), KX_ERR_EE_ABSENT);
  EXPECT_EQ(data.vendor_id, 0x1111);
  EXPECT_STREQ(text, "untouched");
  char given[] = "S0001";
  KX_PROGRAM_DATA program = Record(given);
  EXPECT_EQ(KX_EE_Program(handle, &program), KX_ERR_EE_WRITE);
  EXPECT_EQ(KX_EE_UAWrite(handle, buffer.data(), 1), KX_ERR_EE_WRITE);
  uint32_t size = 0, returned = 0;
  uint8_t area[256];
  EXPECT_EQ(KX_EE_UASize(handle, &size), KX_OK);
  EXPECT_EQ(KX_EE_UARead(handle, area, sizeof area, &returned), KX_OK);
  EXPECT_EQ(returned, size);
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
    Within(milliseconds(5000), [&] {
      Close(handle);
      return 0;
    });
    EXPECT_LT(Clock::now() - start, limit);
  }
};

TEST_F(FaultTest, UnplugDuringAWaitingReadEndsAtTheReadTimeout) {
  int chip = AddDual("FA01", "Fault");
  KX_HANDLE handle = Open(0);
  ASSERT_EQ(KX_SetTimeouts(handle, 400, 0), KX_OK);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, "abc", 3), 0);
  ASSERT_TRUE(WaitUntil([&] {
    uint32_t queued = 0;
    return KX_GetQueueStatus(handle, &queued) == KX_OK && queued == 3;
  }));
  uint8_t buffer[10] = {};
  uint32_t got = 99;
  const Clock::time_point start = Clock::now();
  auto read = std::async(std::launch::async, [&] { return KX_Read(handle, buffer, 10, &got); });
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_EQ(vexa_sim_unplug(chip), 0);
  ASSERT_EQ(read.wait_for(milliseconds(5000)), std::future_status::ready) << "read hangs";
  EXPECT_EQ(read.get(), KX_ERR_IO);
  EXPECT_GE(Clock::now() - start, milliseconds(390));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
  ExpectNoSpin(chip);
  ExpectDeadHandleStatuses(handle);
  CloseWithin(handle, milliseconds(1000));
  EXPECT_EQ(State(chip, 0).claimed, 0);
}

// The device stops answering after `skip` control requests: from the
// library's side exactly what an unplug in the middle of a sequence is.
TEST_F(FaultTest, DeviceVanishingAtAnyStepOfProgrammingIsAWriteFailure) {
  int chip = AddSingle("FA03", "Fault", 0x0400, 64, 64);
  KX_HANDLE handle = Open(0);
  char text[] = "MK0001";
  KX_PROGRAM_DATA data = Record(text);
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

// A real unplug racing EEPROM writers on another thread: the call that is
// cut short reports a write failure, and none hangs.
TEST_F(FaultTest, UnplugRacingProgrammingAndUserAreaWrites) {
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "program" : "user area");
    int chip = AddDual(which == 0 ? "FB01" : "FB02", "Fault", 64, 128);
    uint32_t count = 0;
    ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);  // finds the new chip
    KX_HANDLE handle = OpenBy(which == 0 ? "FB01 A" : "FB02 B", KX_MATCH_SERIAL);
    char text[] = "MK0002";
    KX_PROGRAM_DATA data = Record(text);
    data.product_id = 0x6010;
    ASSERT_EQ(KX_EE_Program(handle, &data), KX_OK);
    std::atomic<int> successes{0};
    auto worker = std::async(std::launch::async, [&] {
      const uint8_t user[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      for (KX_STATUS status = KX_OK;; ++successes) {
        status = which == 0 ? KX_EE_Program(handle, &data) : KX_EE_UAWrite(handle, user, sizeof user);
        if (status != KX_OK) return status;
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return successes.load() > 0; }));
    ASSERT_EQ(vexa_sim_unplug(chip), 0);
    ASSERT_EQ(worker.wait_for(milliseconds(10000)), std::future_status::ready);
    EXPECT_EQ(worker.get(), KX_ERR_EE_WRITE);
    Close(handle);
  }
}

TEST_F(FaultTest, UnplugWhileStreamingStopsBothDirectionsCleanly) {
  int chip = AddDual("FA04", "Fault");
  int other = AddSingle("FA05", "Other");
  ASSERT_EQ(vexa_sim_set_loopback(chip, 1, 1), 0);
  KX_HANDLE handle = Open(1);
  KX_HANDLE bystander = Open(2);
  ASSERT_EQ(KX_SetTimeouts(handle, 100, 0), KX_OK);
  vexa_sim_log_bulk(0);
  std::atomic<bool> write_failed{false};
  std::atomic<uint64_t> received{0}, accepted{0}, captured{0};
  std::atomic<int> odd_status{0};
  std::thread writer([&] {
    std::vector<uint8_t> chunk = Pattern(8192, 1), drain(1 << 16);
    while (!write_failed.load()) {
      uint32_t written = 0xDEADBEEF;
      KX_STATUS status = KX_Write(handle, chunk.data(), 8192, &written);
      // A failed write reports no count; a good one all of it.
      const bool fits = status == KX_ERR_WRITE ? written == 0xDEADBEEF : status == KX_OK && written == 8192;
      if (!fits) odd_status.fetch_add(1);
      if (status == KX_OK) accepted += written;
      write_failed = status == KX_ERR_WRITE;
      for (size_t n; (n = vexa_sim_take_tx(chip, 1, drain.data(), drain.size())) > 0;) captured += n;
      // Keep the loop from running far ahead of the reader.
      if (vexa_sim_rx_pending(chip, 1) > (1u << 18)) std::this_thread::sleep_for(milliseconds(1));
    }
  });
  std::thread reader([&] {
    std::vector<uint8_t> buffer(4096);
    for (int timeouts_after_failure = 0; timeouts_after_failure < 3;) {
      uint32_t got = 0;
      KX_STATUS status = KX_Read(handle, buffer.data(), 4096, &got);
      received += got;
      if (status == KX_ERR_IO && write_failed.load()) ++timeouts_after_failure;
      else if (status != KX_OK && status != KX_ERR_IO) odd_status.fetch_add(1);
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return received.load() > 100000; }));
  ASSERT_EQ(vexa_sim_unplug(chip), 0);
  Within(milliseconds(10000), [&] {
    writer.join();
    reader.join();
    return 0;
  });
  EXPECT_EQ(odd_status.load(), 0);
  // The chip saw every byte of the writes that succeeded, and no more than a
  // part of the one that failed.
  EXPECT_GE(captured.load(), accepted.load());
  EXPECT_LT(captured.load(), accepted.load() + 8192);
  ExpectDeadHandleStatuses(handle);
  Close(handle);
  // The other chip never noticed.
  ASSERT_EQ(vexa_sim_queue_rx(other, 0, "hello", 5), 0);
  char back[5] = {};
  uint32_t got = 0;
  ASSERT_EQ(KX_SetTimeouts(bystander, 3000, 0), KX_OK);
  EXPECT_EQ(KX_Read(bystander, back, 5, &got), KX_OK);
  EXPECT_EQ(std::string(back, 5), "hello");
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

TEST_F(FaultTest, ControlRequestsFailingDuringOpen) {
  int chip = AddSingle("FA07", "Fault", 0x0400);
  vexa_sim_set_status(chip, 0, 0xF0, 0x00);
  ASSERT_EQ(vexa_sim_set_loopback(chip, 0, 1), 0);
  // The modem-status and latency queries at open are not essential: the
  // handle opens with those fields at their defaults, and works.
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
  const std::vector<uint8_t> bytes = Pattern(5000, 9);
  std::vector<uint8_t> back(5000);
  uint32_t written = 0, got = 0;
  ASSERT_EQ(KX_Write(handle, bytes.data(), 5000, &written), KX_OK);
  ASSERT_EQ(KX_SetTimeouts(handle, 5000, 0), KX_OK);
  ASSERT_EQ(KX_Read(handle, back.data(), 5000, &got), KX_OK);
  EXPECT_EQ(back, bytes);
  // The status bytes of the packets brought the real modem lines meanwhile.
  unsigned long modem = 0;
  EXPECT_EQ(KX_GetModemStatus(handle, &modem), KX_OK);
  EXPECT_EQ(modem, 0xF0u);
  Close(handle);

  // Every control request failing: the open still succeeds, the calls fail
  // and recover once the device answers again.
  Inject(Fault(VEXA_SIM_FAULT_CONTROL, -EIO, chip));
  handle = Open(0);
  EXPECT_EQ(KX_SetBaudRate(handle, 115200), KX_ERR_BAUD_RATE);
  EXPECT_EQ(KX_Purge(handle, KX_PURGE_RX), KX_ERR_IO);
  vexa_sim_clear_faults();
  EXPECT_EQ(KX_SetBaudRate(handle, 115200), KX_OK);
  Close(handle);

  // A failing string read makes the device not match, and nothing stays open.
  Inject(Fault(VEXA_SIM_FAULT_STRING, -EPIPE, chip));
  KX_HANDLE none = reinterpret_cast<KX_HANDLE>(0x1);
  EXPECT_EQ(KX_OpenEx("FA07", KX_MATCH_SERIAL, &none), KX_ERR_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  vexa_sim_clear_faults();
  EXPECT_EQ(vexa_sim_open_handles(), 0);
  EXPECT_EQ(State(chip, 0).claimed, 0);
}

TEST_F(FaultTest, BulkReadsFailingOrStalledForAWhileThenRecovering) {
  int chip = AddSingle("FA08", "Fault");
  Inject(Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip, -1, 0, 6));
  KX_HANDLE handle = Open(0);
  const std::vector<uint8_t> bytes = Pattern(3000, 5);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, bytes.data(), bytes.size()), 0);
  std::vector<uint8_t> back(bytes.size());
  uint32_t got = 0;
  ASSERT_EQ(KX_SetTimeouts(handle, 5000, 0), KX_OK);
  ASSERT_EQ(KX_Read(handle, back.data(), static_cast<uint32_t>(back.size()), &got), KX_OK);
  EXPECT_EQ(back, bytes);
  size_t failed = 0;
  for (const auto &entry : Log()) failed += entry.kind == VEXA_SIM_LOG_BULK_IN && entry.result == -EIO;
  EXPECT_EQ(failed, 6u);

  // A stalled endpoint reads as zero bytes; the stream resumes after it.
  ASSERT_EQ(vexa_sim_set_stalled(chip, 0, 1), 0);
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, bytes.data(), 100), 0);
  std::this_thread::sleep_for(milliseconds(100));
  uint32_t queued = 1;
  EXPECT_EQ(KX_GetQueueStatus(handle, &queued), KX_OK);
  EXPECT_EQ(queued, 0u);
  ASSERT_EQ(vexa_sim_set_stalled(chip, 0, 0), 0);
  ASSERT_EQ(KX_Read(handle, back.data(), 100, &got), KX_OK);
  EXPECT_EQ(std::memcmp(back.data(), bytes.data(), 100), 0);
  Close(handle);
}

// A handle whose chip was unplugged and dropped from the bus list by a
// rescan must not touch the freed entry, even once a newcomer takes its place.
TEST_F(FaultTest, HandleOutlivesItsBusEntryThroughEveryCall) {
  int chip = AddDual("FA09", "Fault dual");
  KX_HANDLE handle = Open(1);
  ASSERT_EQ(vexa_sim_unplug(chip), 0);
  uint32_t count = 99;
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);  // frees the entry
  AddSingle("FA10", "Newcomer", 0x0600);
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);
  EXPECT_EQ(count, 1u);
  unsigned long type = 0, id = 0;
  EXPECT_EQ(KX_GetDeviceInfo(handle, &type, &id, nullptr, nullptr, nullptr), KX_OK);
  EXPECT_EQ(type, KX_DEVICE_DUAL);
  EXPECT_EQ(id, 0x04036010ul);
  ExpectDeadHandleStatuses(handle);
  EXPECT_EQ(KX_StopInTask(handle), KX_OK);
  EXPECT_EQ(KX_RestartInTask(handle), KX_OK);
  Close(handle);
}

}  // namespace
