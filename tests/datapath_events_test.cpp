// Event notification, closing a streaming handle, and pausing the in-task,
// through the simulated chip.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;

// An application event object with a thread that counts its signals.
struct SignalCounter : EventObject {
  std::atomic<int> count{0};
  bool waiting = false, stop = false;
  std::thread thread;

  SignalCounter() {
    // The counter holds the mutex until it waits: no signal slips past it.
    pthread_mutex_lock(&mutex);
    thread = std::thread([this] {
      pthread_mutex_lock(&mutex);
      waiting = true;
      pthread_cond_broadcast(&cond);
      while (pthread_cond_wait(&cond, &mutex) == 0 && !stop) count.fetch_add(1);
      pthread_mutex_unlock(&mutex);
    });
    while (!waiting) pthread_cond_wait(&cond, &mutex);
    pthread_mutex_unlock(&mutex);
  }
  ~SignalCounter() {
    pthread_mutex_lock(&mutex);
    stop = true;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mutex);
    thread.join();
  }
};

class Events : public OpenChipTest {
 protected:
  uint32_t Status() {
    uint32_t status = 0xFFFF;
    EXPECT_EQ(KX_GetEventStatus(handle_, &status), KX_OK);
    return status;
  }
};

// One signal per raised event: none more while it stays unread, and none for
// what the mask leaves out. The packet-by-packet rules are in
// bulk_in_processing_test.
TEST_F(Events, OneSignalWhileDataKeepsArrivingUnreadThenRearmed) {
  SignalCounter counter;
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &counter), KX_OK);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(chip_, 0, Pattern(100, i)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 500 && counter.count.load() >= 1; }));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(counter.count.load(), 1);

  // Reading the status word re-arms it...
  uint32_t rx = 0, tx = 1, events = 0;
  ASSERT_EQ(KX_GetStatus(handle_, &rx, &tx, &events), KX_OK);
  EXPECT_EQ(std::vector<uint32_t>({rx, tx, events}),
            std::vector<uint32_t>({500, 0, KX_EVENT_RX_DATA}));
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return counter.count.load() == 2; }));

  // ...and so does draining the ring, without a status query.
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 510; }));
  ReadExactly(handle_, 510);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return counter.count.load() == 3; }));
  EXPECT_EQ(Status(), KX_EVENT_RX_DATA);

  // A modem change signals once its event is in the mask; data then is not.
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_MODEM_CHANGED, &counter), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0xB0, 0x60), 0);
  ASSERT_TRUE(Eventually([&] { return counter.count.load() == 4; }));
  EXPECT_EQ(Status(), KX_EVENT_MODEM_CHANGED);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(Status(), 0u);
  EXPECT_EQ(counter.count.load(), 4);
}

// Closing ends the reader's transfer in progress: at once while the chip
// sends status packets or transfers fail, within one read time-out when the
// chip is silent.
TEST_F(Events, CloseIsPromptWhateverTheChipSends) {
  const struct {
    const char *what;
    std::function<void(int)> setup;
    int limit_ms;
  } rows[] = {
      {"only status packets", [](int) {}, 1000},
      {"silent", [](int chip) { vexa_sim_set_silent(chip, 0, 1); }, 5600},
      {"failing transfers",
       [](int chip) { Inject(Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip)); }, 1000},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    Reopen();
    row.setup(chip_);
    std::this_thread::sleep_for(milliseconds(50));  // the reader is in its loop
    const auto start = std::chrono::steady_clock::now();
    CloseAll();
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(row.limit_ms));
    EXPECT_EQ(State(chip_, 0).claimed, 0);
  }
}

TEST_F(Events, StopInTaskPausesStreamingAndRestartResumes) {
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(50)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 50; }));
  ASSERT_EQ(KX_StopInTask(handle_), KX_OK);
  std::this_thread::sleep_for(milliseconds(60));  // the transfer in progress ends
  vexa_sim_log_clear();
  vexa_sim_queue_rx(chip_, 0, "later", 5);
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_TRUE(BulkSizes(VEXA_SIM_LOG_BULK_IN).empty()) << "no transfer while stopped";
  // Buffered bytes stay readable, also by a read that has to wait: it times
  // out only for the bytes that cannot come.
  std::vector<uint8_t> buffer(60);
  uint32_t got = 0;
  ASSERT_EQ(KX_SetTimeouts(handle_, 200, 0), KX_OK);
  EXPECT_EQ(KX_Read(handle_, buffer.data(), 60, &got), KX_ERR_IO);
  EXPECT_EQ(got, 50u);
  buffer.resize(50);
  EXPECT_EQ(buffer, Pattern(50));

  ASSERT_EQ(KX_RestartInTask(handle_), KX_OK);
  // Into the ring, not into the read that timed out.
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 5; }));
  const std::vector<uint8_t> later = ReadExactly(handle_, 5);
  EXPECT_EQ(std::string(later.begin(), later.end()), "later");
}

}  // namespace
