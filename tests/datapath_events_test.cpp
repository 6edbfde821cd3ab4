// Event notification, closing a streaming handle, and pausing the in-task,
// through the simulated chip.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

#include "sim_fixture.h"

namespace {

using std::chrono::milliseconds;

// Counts the signals of an event object: waits up to first_ms for one, then
// for more until 40 ms pass without one (at most 10). The caller holds the
// object's mutex from before the events can come; the reader must take it to
// signal, so no signal is lost while the test does something else.
int Signals(EventObject &event, int first_ms) {
  int count = 0;
  for (int ms = first_ms; count < 10; ms = 40) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    const long nsec = until.tv_nsec + ms % 1000 * 1000000L;
    until.tv_sec += ms / 1000 + nsec / 1000000000L;
    until.tv_nsec = nsec % 1000000000L;
    if (pthread_cond_timedwait(&event.cond, &event.mutex, &until) != 0) break;
    ++count;
  }
  return count;
}

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
  EventObject event;
  pthread_mutex_lock(&event.mutex);
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &event), KX_OK);
  const std::vector<uint8_t> bytes = Pattern(500);
  int signals = 0;
  for (int i = 0; i < 5; ++i) {  // in five transfers
    ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, bytes.data() + 100 * i, 100), 0);
    signals += Signals(event, i == 0 ? 5000 : 60);
  }
  EXPECT_EQ(signals, 1);
  ASSERT_TRUE(Eventually([&] { return Queued(handle_) == 500; }));

  // Reading the status word re-arms it...
  uint32_t rx = 0, tx = 1, events = 0;
  ASSERT_EQ(KX_GetStatus(handle_, &rx, &tx, &events), KX_OK);
  EXPECT_EQ(std::vector<uint32_t>({rx, tx, events}),
            std::vector<uint32_t>({500, 0, KX_EVENT_RX_DATA}));
  ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, bytes.data(), 10), 0);
  EXPECT_EQ(Signals(event, 5000), 1);

  // ...and so does draining the ring, without a status query.
  EXPECT_EQ(ReadExactly(handle_, 510).size(), 510u);
  ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, bytes.data(), 10), 0);
  EXPECT_EQ(Signals(event, 5000), 1);
  EXPECT_EQ(Status(), KX_EVENT_RX_DATA);

  // A modem change signals once its event is in the mask; data then does not.
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_MODEM_CHANGED, &event), KX_OK);
  ASSERT_EQ(vexa_sim_set_status(chip_, 0, 0xB0, 0x60), 0);
  EXPECT_EQ(Signals(event, 5000), 1);
  EXPECT_EQ(Status(), KX_EVENT_MODEM_CHANGED);
  ASSERT_EQ(vexa_sim_queue_rx(chip_, 0, bytes.data(), 20), 0);
  EXPECT_EQ(Signals(event, 60), 0);
  EXPECT_EQ(Status(), 0u);
  pthread_mutex_unlock(&event.mutex);
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
