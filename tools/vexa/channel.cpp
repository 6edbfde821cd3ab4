#include "channel.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "context.h"

namespace vexa_tool {

ChannelSpec parse_channel_spec(const std::string &device) {
  ChannelSpec spec;
  auto starts = [&](const char *prefix, std::string &rest) {
    std::string p(prefix);
    if (device.compare(0, p.size(), p) != 0) return false;
    rest = device.substr(p.size());
    return true;
  };
  if (starts("serial:", spec.text)) {
    spec.kind = ChannelSpec::Kind::Serial;
  } else if (starts("desc:", spec.text)) {
    spec.kind = ChannelSpec::Kind::Description;
  } else {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(device.c_str(), &end, 10);
    if (device.empty() || *end != '\0' || errno != 0 || value < 0 || value > 0x7fffffff)
      throw ToolError("invalid DEVICE '" + device +
                      "': expected an index, serial:TEXT or desc:TEXT");
    spec.index = static_cast<int>(value);
    return spec;
  }
  if (spec.text.empty())
    throw ToolError("invalid DEVICE '" + device + "': the text after the colon is empty");
  return spec;
}

// Condition variable on the monotonic clock, so that a clock change cannot
// stretch or cut a wait; `stop` is guarded by the mutex.
class RxEvent {
 public:
  RxEvent() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&event.cond, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_init(&event.mutex, nullptr);
  }
  ~RxEvent() {
    pthread_cond_destroy(&event.cond);
    pthread_mutex_destroy(&event.mutex);
  }
  _EVENT_HANDLE event;
  bool stop = false;
};

namespace {

class EventLock {
 public:
  explicit EventLock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
  ~EventLock() { pthread_mutex_unlock(&m_); }
  EventLock(const EventLock &) = delete;
  EventLock &operator=(const EventLock &) = delete;

 private:
  pthread_mutex_t &m_;
};

timespec deadline_after(uint32_t ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

}  // namespace

Channel::Channel(const std::string &device) : name_(device) {
  ChannelSpec spec = parse_channel_spec(device);
  KX_STATUS status;
  switch (spec.kind) {
    case ChannelSpec::Kind::Index:
      status = KX_Open(spec.index, &handle_);
      break;
    case ChannelSpec::Kind::Serial:
      status = KX_OpenEx(spec.text.c_str(), KX_MATCH_SERIAL, &handle_);
      break;
    default:
      status = KX_OpenEx(spec.text.c_str(), KX_MATCH_DESCRIPTION, &handle_);
      break;
  }
  if (status != KX_OK) {
    handle_ = nullptr;
    throw StatusError(status, "cannot open " + device);
  }
}

Channel::~Channel() {
  // Closing joins the reader thread, after which nobody signals the event.
  if (handle_) KX_Close(handle_);
  event_.reset();
}

void Channel::enable_rx_events() {
  if (!event_) event_ = std::make_unique<RxEvent>();
  check(KX_SetEventNotification(handle_, KX_EVENT_RX_DATA, &event_->event),
        "cannot enable receive events on " + name_);
}

void Channel::enable_modem_events() {
  if (!event_) event_ = std::make_unique<RxEvent>();
  check(KX_SetEventNotification(handle_, KX_EVENT_MODEM_CHANGED, &event_->event),
        "cannot enable modem-status events on " + name_);
}

bool Channel::wait_for_modem_change() {
  EventLock lock(event_->event.mutex);
  for (;;) {
    if (event_->stop) return false;
    // Reading the event word under the event mutex clears it, so the next
    // change signals again, and only once this thread is waiting.
    uint32_t events = 0;
    check(KX_GetEventStatus(handle_, &events), "cannot read the event status of " + name_);
    if (events & KX_EVENT_MODEM_CHANGED) return true;
    pthread_cond_wait(&event_->event.cond, &event_->event.mutex);
  }
}

uint32_t Channel::wait_for_data(uint32_t timeout_ms) {
  const timespec deadline = deadline_after(timeout_ms);
  EventLock lock(event_->event.mutex);
  for (;;) {
    if (event_->stop) return 0;
    // Clearing the event word first re-arms the signal; checking the queue
    // under the event mutex means a packet arriving now signals only once
    // we are waiting, so no wake-up is lost.
    uint32_t events = 0, queued = 0;
    check(KX_GetEventStatus(handle_, &events), "cannot read the event status of " + name_);
    check(KX_GetQueueStatus(handle_, &queued), "cannot read the queue status of " + name_);
    if (queued > 0) return queued;
    int rc = timeout_ms == 0 ? pthread_cond_wait(&event_->event.cond, &event_->event.mutex)
                             : pthread_cond_timedwait(&event_->event.cond, &event_->event.mutex,
                                                      &deadline);
    if (rc == ETIMEDOUT) {
      check(KX_GetQueueStatus(handle_, &queued), "cannot read the queue status of " + name_);
      return queued;
    }
  }
}

void Channel::interrupt() {
  if (!event_) return;
  EventLock lock(event_->event.mutex);
  event_->stop = true;
  pthread_cond_broadcast(&event_->event.cond);
}

}  // namespace vexa_tool
