// Calls made from several threads at once on one handle: a read while the
// caller holds its own event object's mutex, a second read beside a waiting
// one, and every setter run by two threads together.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "datapath_support.h"
#include "device.h"
#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A call still running after `limit` is a hang: reported, then the process
// stops, since a deadlocked thread cannot be taken back.
template <typename T>
T ResultWithin(std::future<T> &task, milliseconds limit) {
  if (task.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "call did not return within " << limit.count() << " ms";
    std::fflush(stdout);
    std::abort();
  }
  return task.get();
}

template <typename Fn>
auto Within(milliseconds limit, Fn fn) -> decltype(fn()) {
  auto task = std::async(std::launch::async, fn);
  return ResultWithin(task, limit);
}

class Concurrent : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    chip_ = AddSingle("CC1", "Concurrent", 0x0400, 64);
    handle_ = Open(0);
    ASSERT_NE(handle_, nullptr);
  }
  int chip_ = -1;
  KX_HANDLE handle_ = nullptr;
};

// An event loop checks the status word under its event object's mutex and
// may call the library while it holds it: a read must still end on time,
// complete when its bytes came, cut short at its time-out when they did not.
TEST_F(Concurrent, ReadWhileHoldingTheRegisteredEventMutex) {
  _EVENT_HANDLE event;
  pthread_mutex_init(&event.mutex, nullptr);
  pthread_cond_init(&event.cond, nullptr);
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &event), KX_OK);
  ASSERT_EQ(KX_SetTimeouts(handle_, 2000, 0), KX_OK);
  const struct {
    const char *sent;
    KX_STATUS status;
    milliseconds at_least;
  } rows[] = {{"0123456789", KX_OK, milliseconds(0)}, {"01234", KX_ERR_IO, milliseconds(1990)}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.sent);
    uint32_t status_word = 0;
    ASSERT_EQ(KX_GetEventStatus(handle_, &status_word), KX_OK);
    char buffer[10] = {};
    uint32_t got = 0;
    pthread_mutex_lock(&event.mutex);
    const Clock::time_point start = Clock::now();
    std::thread chip([&] {
      std::this_thread::sleep_for(milliseconds(100));
      vexa_sim_queue_rx(chip_, 0, row.sent, std::strlen(row.sent));
    });
    const KX_STATUS status = Within(milliseconds(4000), [&] { return KX_Read(handle_, buffer, 10, &got); });
    const Clock::duration took = Clock::now() - start;
    pthread_mutex_unlock(&event.mutex);
    chip.join();
    // The reader thread signals the object now that it is free again.
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(std::string(buffer, got), row.sent);
    EXPECT_GE(took, row.at_least);
    EXPECT_LT(took, milliseconds(2300));
  }
  ASSERT_EQ(KX_SetEventNotification(handle_, 0, nullptr), KX_OK);
  CloseAll();  // the reader may have been signalling the object until now
  pthread_cond_destroy(&event.cond);
  pthread_mutex_destroy(&event.mutex);
}

// While the application holds its event object's mutex, the reader thread
// may be waiting for it to signal that object. Switching notification off
// and closing the handle must still return, and once they have, the object
// is the application's again: it may be destroyed while still locked.
TEST_F(Concurrent, SwitchOffAndCloseWhileHoldingTheEventMutex) {
  for (bool close_only : {false, true}) {
    SCOPED_TRACE(close_only ? "close" : "switch off, then close");
    auto *event = new _EVENT_HANDLE;
    pthread_mutex_init(&event->mutex, nullptr);
    pthread_cond_init(&event->cond, nullptr);
    ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, event), KX_OK);
    pthread_mutex_lock(&event->mutex);
    ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
    std::this_thread::sleep_for(milliseconds(30));  // the reader now waits for the mutex
    if (!close_only) {
      EXPECT_EQ(Within(milliseconds(2000), [&] { return KX_SetEventNotification(handle_, 0, nullptr); }), KX_OK);
      std::memset(static_cast<void *>(event), 0xA5, sizeof *event);  // no longer the library's
      ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
    }
    Within(milliseconds(2000), [&] {
      CloseAll();
      return 0;
    });
    delete event;
    vexa_sim_reset();
    chip_ = AddSingle("CC1", "Concurrent", 0x0400, 64);
    handle_ = Open(0);
  }
}

// Only one read per handle may wait; a second one beside it is refused at
// once, reads nothing, and the first goes on as if it had not been made.
TEST_F(Concurrent, SecondReadBesideAWaitingOneIsRefused) {
  const auto sent = Pattern(300);
  std::vector<uint8_t> first(300), second(10, 0xEE);
  uint32_t first_got = 0, second_got = 77;
  ASSERT_EQ(KX_SetTimeouts(handle_, 3000, 0), KX_OK);
  auto waiting = std::async(std::launch::async, [&] { return KX_Read(handle_, first.data(), 300, &first_got); });
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_EQ(KX_SetTimeouts(handle_, 100, 0), KX_OK);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Within(milliseconds(2000), [&] { return KX_Read(handle_, second.data(), 10, &second_got); }),
            KX_ERR_OTHER);
  EXPECT_LT(Clock::now() - start, milliseconds(50));
  EXPECT_EQ(second_got, 77u);
  EXPECT_EQ(second, std::vector<uint8_t>(10, 0xEE));

  ASSERT_TRUE(Deliver(chip_, 0, sent));
  EXPECT_EQ(ResultWithin(waiting, milliseconds(2000)), KX_OK);
  EXPECT_EQ(first_got, 300u);
  EXPECT_EQ(first, sent);
  // Once it has returned, reads are served again.
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10, 2)));
  EXPECT_EQ(KX_Read(handle_, second.data(), 10, &second_got), KX_OK);
  EXPECT_EQ(second, Pattern(10, 2));
}

// Two threads make the same kind of setting call on one handle at once. The
// record's copy of each setting must end as the chip's: no update lost, no
// half of one call mixed with half of the other. (Run under ThreadSanitizer,
// this also shows any unguarded field.)
TEST_F(Concurrent, EverySetterFromTwoThreadsAtOnce) {
  norvec_device *device = as_device(handle_);
  _EVENT_HANDLE events[2];
  for (_EVENT_HANDLE &event : events) {
    pthread_mutex_init(&event.mutex, nullptr);
    pthread_cond_init(&event.cond, nullptr);
  }
  const unsigned long rates[2][2] = {{9600, 19200}, {115200, 57600}};
  // Divisor words as the chip received them, one rate at a time.
  std::map<unsigned long, uint16_t> divisor_of;
  for (const auto &pair : rates)
    for (unsigned long rate : pair) {
      ASSERT_EQ(KX_SetBaudRate(handle_, rate), KX_OK);
      divisor_of[rate] = State(chip_, 0).divisor;
    }
  const struct {
    const char *setter;
    std::function<void(int thread, int i)> call;
    std::function<void(const vexa_sim_channel_state &)> check;
  } rows[] = {
      {"modem lines",
       [&](int thread, int i) {
         if (thread == 0) i % 2 ? KX_ClrDtr(handle_) : KX_SetDtr(handle_);
         else i % 2 ? KX_SetRts(handle_) : KX_ClrRts(handle_);
       },
       [&](const vexa_sim_channel_state &chip) {
         EXPECT_EQ(device->modem_control, (chip.dtr ? 1 : 0) | (chip.rts ? 2 : 0));
       }},
      {"baud rate", [&](int thread, int i) { KX_SetBaudRate(handle_, rates[thread][i % 2]); },
       [&](const vexa_sim_channel_state &chip) { EXPECT_EQ(divisor_of[device->baud_rate], chip.divisor); }},
      {"line format and break",
       [&](int thread, int i) {
         if (thread == 0) KX_SetDataCharacteristics(handle_, i % 2 ? KX_BITS_7 : KX_BITS_8, KX_STOP_BITS_2, i % 5);
         else i % 2 ? KX_SetBreakOn(handle_) : KX_SetBreakOff(handle_);
       },
       [&](const vexa_sim_channel_state &chip) {
         EXPECT_EQ(chip.line_control & ~0x4000, device->line_control_value);
         EXPECT_EQ(device->line_control[2] | device->line_control[1] << 8 | device->line_control[0] << 11,
                   device->line_control_value);
       }},
      {"flow control",
       [&](int thread, int i) { KX_SetFlowControl(handle_, KX_FLOW_XON_XOFF, thread * 100 + i, thread); },
       [&](const vexa_sim_channel_state &chip) {
         EXPECT_EQ(chip.flow_chars, device->flow_control[3] << 8 | device->flow_control[2]);
       }},
      {"special characters",
       [&](int thread, int i) { KX_SetChars(handle_, thread * 100 + i, 1, thread * 100 + i, 0); },
       [&](const vexa_sim_channel_state &chip) {
         EXPECT_EQ(chip.event_char, 0x0100 | device->special_chars[0]);
         EXPECT_EQ(chip.error_char, device->special_chars[2]);
       }},
      {"latency timer", [&](int thread, int i) { KX_SetLatencyTimer(handle_, 2 + thread * 10 + i % 3); },
       [&](const vexa_sim_channel_state &chip) {
         EXPECT_EQ(device->latency_timer.load(), chip.latency_timer);
         // 4096-byte transfers of 62-byte payloads wait up to 66 latency periods.
         EXPECT_EQ(device->transfer_timeout.load(), 66u * chip.latency_timer + 5000);
       }},
      {"bit mode", [&](int thread, int i) { KX_SetBitMode(handle_, thread * 100 + i, 1); },
       [&](const vexa_sim_channel_state &chip) { EXPECT_EQ(device->bit_mode[0], chip.bit_mask); }},
      {"event registration",
       [&](int thread, int) { KX_SetEventNotification(handle_, 1u + thread, &events[thread]); },
       [&](const vexa_sim_channel_state &) {
         EXPECT_EQ(device->event_owner, device);
         EXPECT_EQ(device->event_handle.load(), &events[device->event_mask.load() - 1]);
       }},
  };
  constexpr int kCalls = 60;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.setter);
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
      threads[t] = std::thread([&row, t] {
        // Each thread ends on its own odd or even step, so that both orders occur.
        for (int i = 0; i < kCalls + t; ++i) row.call(t, i);
      });
    for (std::thread &thread : threads) thread.join();
    row.check(State(chip_, 0));
  }
  CloseAll();
  for (_EVENT_HANDLE &event : events) {
    pthread_cond_destroy(&event.cond);
    pthread_mutex_destroy(&event.mutex);
  }
}

}  // namespace
