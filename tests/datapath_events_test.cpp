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
class SignalCounter : public EventObject {
 public:
  SignalCounter() {
    pthread_mutex_lock(&mutex);
    thread_ = std::thread([this] {
      pthread_mutex_lock(&mutex);
      waiting_ = true;
      pthread_cond_broadcast(&cond);
      while (pthread_cond_wait(&cond, &mutex) == 0 && !stop_) count_.fetch_add(1);
      pthread_mutex_unlock(&mutex);
    });
    // The counter holds the mutex until it waits: no signal slips past it.
    while (!waiting_) pthread_cond_wait(&cond, &mutex);
    pthread_mutex_unlock(&mutex);
  }
  ~SignalCounter() {
    pthread_mutex_lock(&mutex);
    stop_ = true;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mutex);
    thread_.join();
  }
  int count() const { return count_.load(); }

 private:
  std::thread thread_;
  bool waiting_ = false, stop_ = false;
  std::atomic<int> count_{0};
};

class Events : public OpenChipTest {
 protected:
  uint32_t Status() {
    uint32_t status = 0xFFFF;
    EXPECT_EQ(KX_GetEventStatus(handle_, &status), KX_OK);
    return status;
  }
};

TEST_F(Events, OneSignalWhileDataKeepsArrivingUnreadThenRearmed) {
  SignalCounter counter;
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &counter), KX_OK);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(chip_, 0, Pattern(100, i)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 500 && counter.count() >= 1; }));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(counter.count(), 1);

  // Reading the status word re-arms it...
  uint32_t rx = 0, tx = 1, events = 0;
  ASSERT_EQ(KX_GetStatus(handle_, &rx, &tx, &events), KX_OK);
  EXPECT_EQ(std::vector<uint32_t>({rx, tx, events}), std::vector<uint32_t>({500, 0, KX_EVENT_RX_DATA}));
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return counter.count() == 2; }));

  // ...and so does draining the ring, without a status query.
  std::vector<uint8_t> buffer(510);
  uint32_t got = 0;
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 510; }));
  ASSERT_EQ(KX_Read(handle_, buffer.data(), 510, &got), KX_OK);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return counter.count() == 3; }));
  EXPECT_EQ(Status(), KX_EVENT_RX_DATA);
}

TEST_F(Events, ModemChangeRaisesOnlyWhenMasked) {
  SignalCounter counter;
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &counter), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0x30, 0x60), 0);
  unsigned long modem = 0;
  ASSERT_TRUE(Eventually([&] { return KX_GetModemStatus(handle_, &modem) == KX_OK && modem == 0x30; }));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(Status(), 0u);
  EXPECT_EQ(counter.count(), 0);

  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_MODEM_CHANGED, &counter), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0xB0, 0x60), 0);
  ASSERT_TRUE(Eventually([&] { return counter.count() == 1; }));
  EXPECT_EQ(Status(), KX_EVENT_MODEM_CHANGED);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(Status(), 0u) << "data is not in the mask";
  EXPECT_EQ(counter.count(), 1);
}

TEST_F(Events, NullEventObjectRecordsAndMaskZeroKeepsTheWord) {
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, nullptr), KX_OK);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 20; }));
  ASSERT_EQ(KX_SetEventNotification(handle_, 0, nullptr), KX_OK);
  EXPECT_EQ(Status(), KX_EVENT_RX_DATA) << "recorded without an object, kept by mask 0";
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 40; }));
  EXPECT_EQ(Status(), 0u);
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
      {"failing transfers", [](int chip) { Inject(Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip)); }, 1000},
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
  ASSERT_EQ(KX_Read(handle_, buffer.data(), 20, &got), KX_OK);
  ASSERT_EQ(KX_SetTimeouts(handle_, 200, 0), KX_OK);
  EXPECT_EQ(KX_Read(handle_, buffer.data() + 20, 40, &got), KX_ERR_IO);
  EXPECT_EQ(got, 30u);
  buffer.resize(50);
  EXPECT_EQ(buffer, Pattern(50));

  ASSERT_EQ(KX_RestartInTask(handle_), KX_OK);
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 5; }));
  ASSERT_EQ(KX_Read(handle_, buffer.data(), 5, &got), KX_OK);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "later");
}

}  // namespace
