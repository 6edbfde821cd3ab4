// KX_Read and KX_Write through the simulated chip.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "datapath_support.h"
#include "device.h"
#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class ReadWrite : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    chip_ = AddSingle("RW1", "Read write", 0x0600, 64);
    handle_ = Open(0);
    ASSERT_NE(handle_, nullptr);
  }
  int chip_ = -1;
  KX_HANDLE handle_ = nullptr;
};

TEST_F(ReadWrite, WaitingReadCompletesWhenTheRestArrives) {
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(100)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 100; }));
  std::vector<uint8_t> buffer(101);
  uint32_t got = 0;
  KX_STATUS status = 99;
  std::thread reader([&] { status = KX_Read(handle_, buffer.data(), 101, &got); });
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(status, 99u) << "101 bytes asked, 100 there: the read waits";
  vexa_sim_queue_rx(chip_, 0, "x", 1);
  reader.join();
  EXPECT_EQ(status, KX_OK);
  EXPECT_EQ(got, 101u);
  EXPECT_EQ(buffer[100], 'x');
}

TEST_F(ReadWrite, TimeoutReportsThePartialData) {
  ASSERT_EQ(KX_SetTimeouts(handle_, 300, 0), KX_OK);
  std::vector<uint8_t> buffer(10, 0xEE);
  uint32_t got = 99;
  KX_STATUS status = 99;
  const auto start = steady_clock::now();
  std::thread reader([&] { status = KX_Read(handle_, buffer.data(), 10, &got); });
  std::this_thread::sleep_for(milliseconds(30));
  vexa_sim_queue_rx(chip_, 0, "abc", 3);
  reader.join();
  const auto waited = steady_clock::now() - start;
  EXPECT_EQ(status, KX_ERR_IO);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "abc");
  EXPECT_EQ(buffer[3], 0xEE);
  EXPECT_GE(waited, milliseconds(290));
  // Bytes after the time-out are kept for the next read.
  vexa_sim_queue_rx(chip_, 0, "de", 2);
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 2; }));
  EXPECT_EQ(buffer[3], 0xEE);
}

TEST_F(ReadWrite, NoTimeoutWaitsUntilEveryByteArrived) {
  const auto sent = Pattern(5000);
  std::vector<uint8_t> buffer(5000);
  uint32_t got = 0;
  KX_STATUS status = 99;
  std::thread reader([&] { status = KX_Read(handle_, buffer.data(), 5000, &got); });
  for (size_t offset = 0; offset < sent.size(); offset += 1000) {
    vexa_sim_queue_rx(chip_, 0, sent.data() + offset, 1000);
    std::this_thread::sleep_for(milliseconds(5));
  }
  reader.join();
  EXPECT_EQ(status, KX_OK);
  EXPECT_EQ(got, 5000u);
  EXPECT_EQ(buffer, sent);
}

TEST_F(ReadWrite, ReceivePurgeEndsAWaitingReadWithWhatArrived) {
  std::vector<uint8_t> buffer(100, 0xEE);
  uint32_t got = 0;
  KX_STATUS status = 99;
  std::thread reader([&] { status = KX_Read(handle_, buffer.data(), 100, &got); });
  vexa_sim_queue_rx(chip_, 0, "hello", 5);
  ASSERT_TRUE(Eventually([&] { return vexa_sim_rx_pending(chip_, 0) == 0; }));
  std::this_thread::sleep_for(milliseconds(20));  // delivered into the waiting read
  ASSERT_EQ(KX_Purge(handle_, KX_PURGE_RX), KX_OK);
  reader.join();
  EXPECT_EQ(status, KX_OK);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "hello");
  EXPECT_EQ(State(chip_, 0).rx_purges, 6u);
}

TEST_F(ReadWrite, WritesGoOutIn4096ByteTransfers) {
  const auto data = Pattern(10000);
  uint32_t written = 77;
  ASSERT_EQ(KX_Write(handle_, data.data(), 0, &written), KX_OK);
  EXPECT_EQ(written, 77u) << "a zero-length write leaves the count alone";
  EXPECT_TRUE(BulkSizes(VEXA_SIM_LOG_BULK_OUT).empty());

  ASSERT_EQ(KX_Write(handle_, data.data(), 4096, &written), KX_OK);
  EXPECT_EQ(written, 4096u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096}));
  vexa_sim_log_clear();
  ASSERT_EQ(KX_Write(handle_, data.data(), 4097, &written), KX_OK);
  EXPECT_EQ(written, 4097u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096, 1}));
  vexa_sim_log_clear();
  TakeTx(chip_, 0);
  ASSERT_EQ(KX_Write(handle_, data.data(), 10000, &written), KX_OK);
  EXPECT_EQ(written, 10000u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096, 4096, 1808}));
  EXPECT_EQ(TakeTx(chip_, 0), std::string(data.begin(), data.end()));
  for (const auto &entry : Log()) {
    if (entry.kind == VEXA_SIM_LOG_BULK_OUT) {
      EXPECT_EQ(entry.endpoint, 0x02);
    }
  }
  EXPECT_EQ(KX_Write(handle_, data.data(), 1, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Write(handle_, nullptr, 1, &written), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Write(nullptr, data.data(), 1, &written), KX_ERR_PARAMETER);
}

TEST_F(ReadWrite, FailedSecondChunkStopsTheWrite) {
  const auto data = Pattern(10000);
  vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_BULK_WRITE, -EIO, chip_, -1, 1, 1);
  ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  uint32_t written = 77;
  EXPECT_EQ(as_device(handle_)->last_error_text.load(), nullptr);
  ASSERT_EQ(KX_Write(handle_, data.data(), 10000, &written), KX_ERR_WRITE);
  EXPECT_EQ(written, 77u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096, 4096})) << "third never tried";
  EXPECT_STREQ(as_device(handle_)->last_error_text.load(), "bulk write failed");
  EXPECT_EQ(TakeTx(chip_, 0).size(), 4096u);
}

TEST_F(ReadWrite, ShortTransfersShowOnlyInTheCount) {
  ASSERT_EQ(vexa_sim_set_write_limit(chip_, 0, 1000), 0);
  const auto data = Pattern(10000);
  uint32_t written = 0;
  ASSERT_EQ(KX_Write(handle_, data.data(), 10000, &written), KX_OK);
  EXPECT_EQ(written, 3000u);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096, 4096, 1808})) << "no retry";
}

TEST_F(ReadWrite, CountsFrom2To31UpAreUnsigned) {
  // The first transfer fails, so only its 4096 bytes of the buffer are touched.
  std::vector<uint8_t> data(4096);
  vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_BULK_WRITE, -EIO, chip_);
  ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  uint32_t written = 0;
  EXPECT_EQ(KX_Write(handle_, data.data(), 0x80000000u, &written), KX_ERR_WRITE);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096}));
  vexa_sim_log_clear();
  EXPECT_EQ(KX_Write(handle_, data.data(), 0xFFFFFFFFu, &written), KX_ERR_WRITE);
  EXPECT_EQ(BulkSizes(VEXA_SIM_LOG_BULK_OUT), (std::vector<int>{4096}));
}

// Reads with short time-outs racing incoming data and receive purges on the
// real reader thread. Counts and buffers are checked once everything has
// stopped, so a late delivery into a finished call shows.
TEST_F(ReadWrite, StressShortTimeoutsDataAndPurges) {
  ASSERT_EQ(KX_SetTimeouts(handle_, 2, 0), KX_OK);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    std::vector<uint8_t> chunk(97);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i % 200);  // never 0xEE
    while (!stop.load()) {
      if (vexa_sim_rx_pending(chip_, 0) < 4000) vexa_sim_queue_rx(chip_, 0, chunk.data(), chunk.size());
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::thread purger([&] {
    while (!stop.load()) {
      KX_Purge(handle_, KX_PURGE_RX);
      std::this_thread::sleep_for(milliseconds(4));
    }
  });
  struct Call {
    std::vector<uint8_t> buffer;
    uint32_t returned;
    uint32_t returned_at_return;
    KX_STATUS status;
  };
  std::vector<Call> calls;
  calls.reserve(400);
  for (int i = 0; i < 400; ++i) {
    const uint32_t n = 1 + static_cast<uint32_t>(i * 53 % 700);
    calls.push_back({std::vector<uint8_t>(n, 0xEE), 0, 0, 0});
    Call &call = calls.back();
    call.status = KX_Read(handle_, call.buffer.data(), n, &call.returned);
    call.returned_at_return = call.returned;
  }
  stop.store(true);
  feeder.join();
  purger.join();
  int timeouts = 0;
  for (const auto &call : calls) {
    const uint32_t n = static_cast<uint32_t>(call.buffer.size());
    ASSERT_TRUE(call.status == KX_OK || call.status == KX_ERR_IO) << call.status;
    ASSERT_EQ(call.returned, call.returned_at_return);
    ASSERT_LE(call.returned, n);
    if (call.status == KX_ERR_IO) {
      ++timeouts;
      ASSERT_LT(call.returned, n);
    }
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(call.buffer[i] == 0xEE, i >= call.returned) << i;
  }
  EXPECT_GT(timeouts, 0);
}

}  // namespace
