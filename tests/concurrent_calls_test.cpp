// Calls from several threads at once on one handle, and a process ending with
// handles in any state.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using Concurrent = OpenChipTest;

// An event loop may call the library while it holds its event object's
// mutex: a read must still complete when its bytes came, and end at its
// time-out with what it got when they did not.
TEST_F(Concurrent, ReadWhileHoldingTheRegisteredEventMutex) {
  EventObject event;
  ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &event), KX_OK);
  ASSERT_EQ(KX_SetTimeouts(handle_, 2000, 0), KX_OK);
  const struct {
    const char *sent;
    KX_STATUS status;
    milliseconds at_least;
  } rows[] = {{"0123456789", KX_OK, milliseconds(0)}, {"01234", KX_ERR_IO, milliseconds(1990)}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.sent);
    uint32_t status_word = 0, got = 0;
    ASSERT_EQ(KX_GetEventStatus(handle_, &status_word), KX_OK);
    char buffer[10] = {};
    pthread_mutex_lock(&event.mutex);
    const Clock::time_point start = Clock::now();
    std::thread chip([&] {
      std::this_thread::sleep_for(milliseconds(100));
      vexa_sim_queue_rx(chip_, 0, row.sent, std::strlen(row.sent));
    });
    const KX_STATUS status = Within(4000, [&] { return KX_Read(handle_, buffer, 10, &got); });
    const Clock::duration took = Clock::now() - start;
    pthread_mutex_unlock(&event.mutex);
    chip.join();
    std::this_thread::sleep_for(milliseconds(50));  // the reader signals the object, now free
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(std::string(buffer, got), row.sent);
    EXPECT_GE(took, row.at_least);
    EXPECT_LT(took, milliseconds(2300));
  }
  CloseAll();  // the reader may have been signalling the object until now
}

// While the application holds its event object's mutex, the reader thread
// may be waiting for it. Switching notification off and closing must still
// return, and then the object is the application's again: it may be
// destroyed while still locked.
TEST_F(Concurrent, SwitchOffAndCloseWhileHoldingTheEventMutex) {
  for (bool close_only : {false, true}) {
    SCOPED_TRACE(close_only ? "close" : "switch off, then close");
    auto *event = new EventObject;
    ASSERT_EQ(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, event), KX_OK);
    pthread_mutex_lock(&event->mutex);
    ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
    std::this_thread::sleep_for(milliseconds(30));  // the reader now waits for the mutex
    if (!close_only) {
      EXPECT_EQ(Within(2000, [&] { return KX_SetEventNotification(handle_, 0, nullptr); }), KX_OK);
      std::memset(static_cast<void *>(event), 0xA5, sizeof *event);  // no longer the library's
      ASSERT_TRUE(Deliver(chip_, 0, Pattern(20)));
    }
    Within(2000, [&] {
      CloseAll();
      return 0;
    });
    ::operator delete(event);
    Reopen();
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
  // Refused at once, not after waiting out its own time-out: the margin
  // between the two is wide enough for a loaded machine.
  ASSERT_EQ(KX_SetTimeouts(handle_, 1500, 0), KX_OK);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Within(2000, [&] { return KX_Read(handle_, second.data(), 10, &second_got); }), KX_ERR_OTHER);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(second_got, 77u);
  EXPECT_EQ(second, std::vector<uint8_t>(10, 0xEE));

  ASSERT_TRUE(Deliver(chip_, 0, sent));
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), KX_OK);
  first.resize(first_got);
  EXPECT_EQ(first, sent);
  // Once it has returned, reads are served again.
  ASSERT_TRUE(Deliver(chip_, 0, Pattern(10, 2)));
  EXPECT_EQ(ReadExactly(handle_, 10), Pattern(10, 2));
}

KX_HANDLE OpenIndex(int index) {
  KX_HANDLE handle = nullptr;
  if (KX_Open(index, &handle) != KX_OK) std::_Exit(3);
  return handle;
}

// Leaves the handle's channel streaming from a paced chip into a ring that
// is read for a while, so that transfers are under way at exit.
void Streaming(int chip, int index) {
  KX_HANDLE handle = OpenIndex(index);
  vexa_sim_set_pacing(chip, 0, 1);
  const auto bytes = Pattern(1 << 20);
  vexa_sim_queue_rx(chip, 0, bytes.data(), bytes.size());
  std::vector<uint8_t> buffer(4000);
  uint32_t got = 0;
  for (int i = 0; i < 5; ++i) KX_Read(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
}

// Paused by KX_StopInTask, with time for the transfer under way to end.
void InTaskStopped(int, int index) {
  KX_StopInTask(OpenIndex(index));
  std::this_thread::sleep_for(milliseconds(50));
}

void RingFull(int chip, int index) {
  KX_HANDLE handle = OpenIndex(index);
  const auto bytes = Pattern(70000);
  vexa_sim_queue_rx(chip, 0, bytes.data(), bytes.size());
  if (!Eventually([&] { return Queued(handle) == 63488; })) std::_Exit(4);
}

void Unplugged(int chip, int index) {
  OpenIndex(index);
  vexa_sim_unplug(chip);
  std::this_thread::sleep_for(milliseconds(30));
}

// A read without a time-out waits on another thread for bytes that never come.
void ReadWaiting(int, int index) {
  static uint8_t buffer[10];
  static uint32_t got;
  KX_HANDLE handle = OpenIndex(index);
  std::thread([handle] { KX_Read(handle, buffer, sizeof buffer, &got); }).detach();
  std::this_thread::sleep_for(milliseconds(30));
}

// A process ends promptly when it calls exit() (as returning from main does)
// with handles still open, whatever their reader threads are doing at that
// moment. A child process, given a few seconds to end, holds one handle in
// each state, each on a chip of its own.
TEST_F(Concurrent, ProcessEndsPromptlyWithHandlesOpenInAnyState) {
  CloseAll();
  vexa_sim_reset();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void (*const states[])(int chip, int index) = {Streaming, RingFull, Unplugged, ReadWaiting,
                                                   InTaskStopped};
    for (int k = 0; k < 5; ++k) AddSingle(nullptr, "Child");
    for (int k = 0; k < 5; ++k) states[k](k, k);
    std::exit(0);
  }
  int status = 0;
  if (!Eventually([&] { return waitpid(child, &status, WNOHANG) != 0; }, 4000)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the process did not end within 4 s";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "ended with status " << status << (WIFSIGNALED(status) ? " (signal)" : "");
}

}  // namespace
