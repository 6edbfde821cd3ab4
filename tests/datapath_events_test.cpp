// Event notification, closing a streaming handle, and pausing the in-task,
// through the simulated chip.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "datapath_support.h"
#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// An application event object with a thread that counts its signals.
class SignalCounter {
 public:
  SignalCounter() {
    pthread_mutex_init(&event.mutex, nullptr);
    pthread_cond_init(&event.cond, nullptr);
    pthread_mutex_lock(&event.mutex);
    thread_ = std::thread([this] { Run(); });
    // Returns once the counter waits, so no signal can slip past it.
    ready_.wait(event.mutex);
    pthread_mutex_unlock(&event.mutex);
  }
  ~SignalCounter() {
    pthread_mutex_lock(&event.mutex);
    stop_ = true;
    pthread_cond_signal(&event.cond);
    pthread_mutex_unlock(&event.mutex);
    thread_.join();
    pthread_cond_destroy(&ready_.cond);
    pthread_cond_destroy(&event.cond);
    pthread_mutex_destroy(&event.mutex);
  }
  int count() const { return count_.load(); }

  _EVENT_HANDLE event;

 private:
  struct Ready {
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool set = false;
    void wait(pthread_mutex_t &mutex) {
      while (!set) pthread_cond_wait(&cond, &mutex);
    }
  } ready_;
  void Run() {
    pthread_mutex_lock(&event.mutex);
    ready_.set = true;
    pthread_cond_signal(&ready_.cond);
    while (true) {
      pthread_cond_wait(&event.cond, &event.mutex);
      if (stop_) break;
      count_.fetch_add(1);
    }
    pthread_mutex_unlock(&event.mutex);
  }
  std::thread thread_;
  bool stop_ = false;
  std::atomic<int> count_{0};
};

class Events : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    chip_ = AddSingle("EV1", "Events", 0x0600, 64);
    handle_ = Open(0);
    ASSERT_NE(handle_, nullptr);
  }
  uint32_t Status() {
    uint32_t status = 0xFFFF;
    EXPECT_EQ(KX_GetEventStatus(handle_, &status), KX_OK);
    return status;
  }
  int chip_ = -1;
  KX_HANDLE handle_ = nullptr;
};

TEST_F(Events, OneSignalWhileDataKeepsArrivingUnread) {
  SignalCounter counter;
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &counter.event), KX_OK);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Deliver(chip_, 0, Pattern(100, i)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 500; }));
  ASSERT_TRUE(Eventually([&] { return counter.count() >= 1; }));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(counter.count(), 1);

  // Reading the status word re-arms it.
  uint32_t rx = 0, tx = 0, events = 0;
  ASSERT_EQ(KX_GetStatus(handle_, &rx, &tx, &events), KX_OK);
  EXPECT_EQ(events, KX_EVENT_RX_DATA);
  EXPECT_EQ(rx, 500u);
  EXPECT_EQ(tx, 0u);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10)));
  ASSERT_TRUE(Eventually([&] { return counter.count() == 2; }));

  // Draining the ring re-arms it too, without a status query.
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
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &counter.event), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0x30, 0x60), 0);
  unsigned long modem = 0;
  ASSERT_TRUE(Eventually([&] { return KX_GetModemStatus(handle_, &modem) == KX_OK && modem == 0x30; }));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(Status(), 0u);
  EXPECT_EQ(counter.count(), 0);

  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_MODEM_CHANGED, &counter.event), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0xB0, 0x60), 0);
  ASSERT_TRUE(Eventually([&] { return counter.count() == 1; }));
  EXPECT_EQ(Status(), KX_EVENT_MODEM_CHANGED);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(Status(), 0u) << "data is not in the mask";
  EXPECT_EQ(counter.count(), 1);
}

TEST_F(Events, MaskZeroStopsRaisingAndKeepsTheWord) {
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, nullptr), KX_OK);
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 20; }));
  ASSERT_EQ(KX_SetEventNotification(handle_, 0, nullptr), KX_OK);
  EXPECT_EQ(Status(), KX_EVENT_RX_DATA) << "null event object: recorded, not signalled";
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 40; }));
  EXPECT_EQ(Status(), 0u);
}

TEST_F(Events, CloseIsPromptWhileOnlyStatusPacketsArrive) {
  std::this_thread::sleep_for(milliseconds(50));  // the reader is streaming status packets
  const auto start = steady_clock::now();
  Close(handle_);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(State(chip_, 0).claimed, 0);
}

TEST_F(Events, CloseOfASilentChipEndsWithinOneReadTimeout) {
  ASSERT_EQ(vexa_sim_set_silent(chip_, 0, 1), 0);
  std::this_thread::sleep_for(milliseconds(50));
  const auto start = steady_clock::now();
  Close(handle_);
  EXPECT_LT(steady_clock::now() - start, milliseconds(5600));
}

TEST_F(Events, CloseIsPromptWhileTransfersFail) {
  vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_BULK_READ, -EIO, chip_);
  ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  ASSERT_TRUE(Eventually([] { return SimTest::Log().size() > 10; }));
  const size_t attempts = BulkSizes(VEXA_SIM_LOG_BULK_IN).size();
  std::this_thread::sleep_for(milliseconds(300));
  // Retried without limit, but backing off instead of spinning.
  const size_t more = BulkSizes(VEXA_SIM_LOG_BULK_IN).size() - attempts;
  EXPECT_GE(more, 1u);
  EXPECT_LE(more, 30u);
  EXPECT_EQ(Queued(handle_), 0u);
  vexa_sim_clear_faults();
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(30)));
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 30; }));
  vexa_sim_add_fault(&fault);
  const auto start = steady_clock::now();
  Close(handle_);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
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
  EXPECT_EQ(vexa_sim_rx_pending(chip_, 0), 5u);
  std::vector<uint8_t> buffer(55);
  uint32_t got = 0;
  ASSERT_EQ(KX_Read(handle_, buffer.data(), 50, &got), KX_OK) << "buffered bytes stay readable";
  EXPECT_EQ(got, 50u);

  ASSERT_EQ(KX_RestartInTask(handle_), KX_OK);
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 5; }));
  ASSERT_EQ(KX_Read(handle_, buffer.data(), 5, &got), KX_OK);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "later");
}

TEST_F(Events, CloseWorksWhileInTaskIsStopped) {
  const int other_chip = AddSingle("EV2", "Events two", 0x0600, 64);
  uint32_t count = 0;
  ASSERT_EQ(KX_ListDevices(&count, nullptr, KX_LIST_COUNT), KX_OK);  // rescan: finds the new chip
  KX_HANDLE other = Open(1);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(KX_StopInTask(handle_), KX_OK);
  std::this_thread::sleep_for(milliseconds(40));
  const auto start = steady_clock::now();
  Close(handle_);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  // The pause is process-wide: the other handle resumes with the restart.
  vexa_sim_queue_rx(other_chip, 0, "ok", 2);
  ASSERT_EQ(KX_RestartInTask(other), KX_OK);
  ASSERT_TRUE(Eventually([&] { return Queued(other) == 2; }));
}

}  // namespace
