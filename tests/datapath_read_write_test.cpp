// KX_Read and KX_Write through the simulated chip.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;
using ReadWrite = OpenChipTest;

TEST_F(ReadWrite, ReceivePurgeEndsAWaitingReadWithWhatArrived) {
  ASSERT_EQ(KX_SetTimeouts(handle_, 10000, 0), KX_OK);  // a fault fails, not hangs
  std::vector<uint8_t> buffer(100, 0xEE);
  uint32_t got = 0;
  auto read = std::async(std::launch::async,
                         [&] { return KX_Read(handle_, buffer.data(), 100, &got); });
  vexa_sim_queue_rx(chip_, 0, "hello", 5);
  std::this_thread::sleep_for(milliseconds(20));
  // Out of the chip and out of the ring: delivered into the waiting read.
  ASSERT_TRUE(
      Eventually([&] { return vexa_sim_rx_pending(chip_, 0) == 0 && Queued(handle_) == 0; }));
  EXPECT_EQ(read.wait_for(milliseconds(0)), std::future_status::timeout);
  ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
  EXPECT_EQ(read.get(), KX_OK);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 6), "hello\xEE");
}

// Writes go out in transfers of at most 4096 bytes straight from the
// caller's buffer. A failed transfer ends the write without a count; a short
// one (even one that took nothing) shows only in the count (a chip taking
// part of each transfer: scenario_table). Counts of 2^31 and up stay unsigned
// (their first transfer fails, so only 4096 bytes of the buffer are touched).
TEST_F(ReadWrite, WritesGoOutIn4096ByteTransfers) {
  const auto data = Pattern(10000);
  const struct {
    uint32_t n;
    int fault_skip;  // fault_skip < 0: no fault; the fault then lasts one transfer
    KX_STATUS status;
    uint32_t written;  // 77: left alone
    std::vector<int> transfers;
    size_t captured;
    int fault_result = -EIO;
  } rows[] = {
      {0, -1, KX_OK, 77, {}, 0},
      {4096, -1, KX_OK, 4096, {4096}, 4096},
      {4097, -1, KX_OK, 4097, {4096, 1}, 4097},
      {10000, -1, KX_OK, 10000, {4096, 4096, 1808}, 10000},
      {10000, 1, KX_ERR_WRITE, 77, {4096, 4096}, 4096},
      {4096, 0, KX_OK, 0, {4096}, 0, 0},
      {0x80000000u, 0, KX_ERR_WRITE, 77, {4096}, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.n << " bytes, fault after " << row.fault_skip);
    vexa_sim_clear_faults();
    vexa_sim_log_clear();
    if (row.fault_skip >= 0)
      Inject(Fault(VEXA_SIM_FAULT_BULK_WRITE, row.fault_result, chip_, -1, row.fault_skip, 1));
    uint32_t written = 77;
    EXPECT_EQ(KX_Write(handle_, data.data(), row.n, &written), row.status);
    EXPECT_EQ(written, row.written);
    EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), row.transfers);
    const std::string captured = TakeTx(chip_, 0);
    EXPECT_EQ(captured, std::string(data.begin(), data.begin() + row.captured));
  }
}

// Reads with short time-outs racing incoming data and receive purges on the
// real reader thread. Counts and buffers are checked once everything has
// stopped, so a late delivery into a finished call shows.
TEST_F(ReadWrite, StressShortTimeoutsDataAndPurges) {
  ASSERT_EQ(KX_SetTimeouts(handle_, 2, 0), KX_OK);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    const std::vector<uint8_t> chunk(97, 0x5A);
    for (int i = 0; !stop.load(); ++i) {
      if (vexa_sim_rx_pending(chip_, 0) < 4000) vexa_sim_queue_rx(chip_, 0, chunk.data(), 97);
      if (i % 13 == 0) KX_Purge(handle_, KX_PURGE_RX);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  struct Call {
    std::vector<uint8_t> buffer;
    uint32_t returned = 0, returned_at_return = 0;
    KX_STATUS status = KX_OK;
  };
  std::vector<Call> calls(400);
  for (size_t i = 0; i < calls.size(); ++i) {
    Call &call = calls[i];
    call.buffer.assign(1 + i * 53 % 700, 0xEE);
    const auto n = static_cast<uint32_t>(call.buffer.size());
    call.status = KX_Read(handle_, call.buffer.data(), n, &call.returned);
    call.returned_at_return = call.returned;
  }
  stop.store(true);
  feeder.join();
  int timeouts = 0;
  for (const auto &call : calls) {
    const uint32_t n = static_cast<uint32_t>(call.buffer.size());
    ASSERT_TRUE(call.status == KX_OK || call.status == KX_ERR_IO) << call.status;
    ASSERT_EQ(call.returned, call.returned_at_return);
    ASSERT_LE(call.returned, n);
    if (call.status == KX_ERR_IO) {
      ++timeouts;
      ASSERT_LT(call.returned, n) << "a timed-out read got less than it asked";
    }
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(call.buffer[i] == 0xEE, i >= call.returned) << i;
  }
  EXPECT_GT(timeouts, 0);
}

}  // namespace
