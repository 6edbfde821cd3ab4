// event_reader: opens a channel and prints what it receives, sleeping on the
// library's event notification between arrivals instead of polling. Stops
// after the line has been quiet for the idle time.
//
//   event_reader [DEVICE-INDEX [IDLE-MS [GREETING]]]
//
// The optional greeting is written first, so that a loopback plug (or
// "vexa-sim --chip r4,loopback=1") has something to send back.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <vexa.h>

namespace {

// The application owns the event object: the library only signals it.
class EventObject {
 public:
  EventObject() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&event_.cond, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_init(&event_.mutex, nullptr);
  }
  ~EventObject() {
    pthread_cond_destroy(&event_.cond);
    pthread_mutex_destroy(&event_.mutex);
  }
  EventObject(const EventObject &) = delete;
  EventObject &operator=(const EventObject &) = delete;
  _EVENT_HANDLE *get() { return &event_; }

 private:
  _EVENT_HANDLE event_;
};

// Closes the handle before the event object goes away.
class Channel {
 public:
  explicit Channel(int index) : status_(KX_Open(index, &handle_)) {}
  ~Channel() {
    if (handle_) KX_Close(handle_);
  }
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;
  KX_STATUS status() const { return status_; }
  KX_HANDLE handle() const { return handle_; }

 private:
  KX_HANDLE handle_ = nullptr;
  KX_STATUS status_;
};

// Waits for received data; returns the bytes queued (0 after idle_ms quiet).
uint32_t wait_for_data(KX_HANDLE handle, _EVENT_HANDLE *event, int idle_ms) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += idle_ms / 1000;
  deadline.tv_nsec += (idle_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  uint32_t queued = 0, events = 0;
  pthread_mutex_lock(&event->mutex);
  for (;;) {
    // A signal is not remembered: clear the event word (so the next arrival
    // signals) and look at the queue before sleeping, under the mutex.
    KX_GetEventStatus(handle, &events);
    KX_GetQueueStatus(handle, &queued);
    if (queued > 0) break;
    if (pthread_cond_timedwait(&event->cond, &event->mutex, &deadline) == ETIMEDOUT) {
      KX_GetQueueStatus(handle, &queued);
      break;
    }
  }
  pthread_mutex_unlock(&event->mutex);
  return queued;
}

}  // namespace

int main(int argc, char **argv) {
  const int index = argc > 1 ? std::atoi(argv[1]) : 0;
  const int idle_ms = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string greeting = argc > 3 ? argv[3] : "";

  EventObject event;
  Channel channel(index);
  if (channel.status() != KX_OK) {
    std::fprintf(stderr, "event_reader: cannot open channel %d (status %u)\n", index, channel.status());
    return 1;
  }
  KX_SetEventNotification(channel.handle(), KX_EVENT_RX_DATA, event.get());
  if (!greeting.empty()) {
    uint32_t written = 0;
    KX_Write(channel.handle(), greeting.data(), static_cast<uint32_t>(greeting.size()), &written);
  }

  uint64_t total = 0;
  std::vector<char> buffer;
  while (uint32_t queued = wait_for_data(channel.handle(), event.get(), idle_ms)) {
    buffer.resize(queued);
    uint32_t got = 0;
    if (KX_Read(channel.handle(), buffer.data(), queued, &got) != KX_OK) break;
    std::fwrite(buffer.data(), 1, got, stdout);
    std::fflush(stdout);
    total += got;
  }
  std::fprintf(stderr, "event_reader: %llu bytes received\n", static_cast<unsigned long long>(total));
  return 0;
}
