// KX_Read and the read-request hand-off between the application's thread and
// the handle's reader thread.
//
// How a waiting read ends without races: the request slot (the read_*
// fields) is guarded by rx_lock, like the ring. Whoever ends a request - the
// reader thread when the last byte is delivered, a receive purge, or the
// waiter itself when its time-out expires - detaches it from the slot while
// holding rx_lock, so exactly one party ends each request and nothing
// reaches the caller's buffer or count afterwards. A party other than the
// waiter then marks the waiter finished under the waiter's own mutex, after
// releasing rx_lock (the two locks are never held together), and does not
// touch the object again. The waiter only returns, ending its object's life,
// once it has either detached the request itself or seen that mark; because
// the mark is set under the mutex it waits with, it can never be missed.
#include <errno.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "bulk_in.h"
#include "event_fd.h"
#include "in_task_gate.h"
#include "read_wait.h"
#include "ring.h"

namespace {

// Empties the request slot; returns the waiter's event when a request was
// pending. The caller holds rx_lock.
_EVENT_HANDLE *DetachRequestLocked(norvec_device *device) {
  _EVENT_HANDLE *event = device->read_pending ? device->read_event : nullptr;
  device->read_pending = 0;
  device->read_event = nullptr;
  return event;
}

// Tells a waiting KX_Read that its request has ended. Called without rx_lock.
void MarkFinished(_EVENT_HANDLE *event) {
  if (!event) return;
  ReadWaiter *waiter = reinterpret_cast<ReadWaiter *>(event);
  pthread_mutex_lock(&event->mutex);
  waiter->finished = true;
  pthread_cond_signal(&event->cond);
  pthread_mutex_unlock(&event->mutex);
}

void EndRequest(norvec_device *device) {
  pthread_mutex_lock(&device->rx_lock);
  _EVENT_HANDLE *event = DetachRequestLocked(device);
  pthread_mutex_unlock(&device->rx_lock);
  MarkFinished(event);
}

// Waits, holding the waiter's mutex, until the request has ended or the
// deadline (null: none) has passed. Returns whether it ended.
bool WaitFinished(ReadWaiter &waiter, const timespec *deadline) {
  while (!waiter.finished) {
    if (!deadline) {
      pthread_cond_wait(&waiter.event.cond, &waiter.event.mutex);
    } else if (pthread_cond_timedwait(&waiter.event.cond, &waiter.event.mutex, deadline) ==
               ETIMEDOUT) {
      return waiter.finished;
    }
  }
  return true;
}

}  // namespace

timespec ReadDeadline(const timeval &now, uint32_t timeout_ms) {
  timespec deadline;
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(timeout_ms / 1000);
  long nanoseconds = static_cast<long>(now.tv_usec) * 1000L +
                     static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (nanoseconds >= 1000000000L) {
    deadline.tv_sec += 1;
    nanoseconds -= 1000000000L;
  }
  deadline.tv_nsec = nanoseconds;
  return deadline;
}

void RequestReadData(norvec_device *device, _EVENT_HANDLE *event, int length,
                     unsigned char *destination, uint32_t *returned) {
  pthread_mutex_lock(&device->rx_lock);
  device->read_event = event;
  device->read_length = static_cast<uint32_t>(length);
  device->read_dest = destination;
  device->read_returned = returned;
  device->read_done = 0;
  device->read_pending = 1;
  // A reader thread waiting for ring room must serve the request instead.
  pthread_cond_signal(&device->rx_space);
  pthread_mutex_unlock(&device->rx_lock);
  // So must one that KX_StopInTask paused.
  WakeInTaskGateForRead(device);
}

void ProcessRead(norvec_device *device) {
  _EVENT_HANDLE *completed = nullptr;
  pthread_mutex_lock(&device->rx_lock);
  const uint32_t queued = RingQueuedLocked(device);
  if (device->read_pending && queued != 0) {
    const uint32_t n = std::min(device->read_length - device->read_done, queued);
    RingTakeLocked(device, device->read_dest + device->read_done, n);
    device->read_done += n;
    *device->read_returned += n;
    // Ending the request in the same critical section as the last delivery
    // means a waiter that times out now finds it already complete.
    if (device->read_done == device->read_length) completed = DetachRequestLocked(device);
  }
  pthread_mutex_unlock(&device->rx_lock);
  EventFdSync(device);  // before the caller returns from KX_Read
  MarkFinished(completed);
}

uint32_t DeliverToWaitingReadLocked(norvec_device *device, const uint8_t *data, uint32_t n,
                                    _EVENT_HANDLE **completed) {
  if (!device->read_pending || RingQueuedLocked(device) != 0) return 0;
  const uint32_t take = std::min(device->read_length - device->read_done, n);
  std::memcpy(device->read_dest + device->read_done, data, take);
  device->read_done += take;
  *device->read_returned += take;
  if (device->read_done == device->read_length) *completed = DetachRequestLocked(device);
  return take;
}

void FinishReadRequest(_EVENT_HANDLE *event) { MarkFinished(event); }

void CompleteReadRequest(norvec_device *device) { EndRequest(device); }

void CancelReadRequest(norvec_device *device) { EndRequest(device); }

void PurgeReceiveRing(norvec_device *device) {
  pthread_mutex_lock(&device->rx_lock);
  RingResetLocked(device);
  device->rx_purges.fetch_add(1);
  pthread_mutex_unlock(&device->rx_lock);
  EventFdSync(device);
  CancelReadRequest(device);
}

namespace {

// Waits for or takes received bytes; the caller is the handle's only reader.
KX_STATUS ReadAlone(norvec_device *device, uint8_t *destination, uint32_t n, uint32_t *returned);

}  // namespace

KX_STATUS KX_Read(KX_HANDLE handle, void *buffer, uint32_t n, uint32_t *returned) {
  norvec_device *device = as_device(handle);
  if (!device || !buffer || !returned) return KX_ERR_PARAMETER;
  if (n == 0) return KX_OK;
  // The request slot holds one caller; a second concurrent read would steal
  // it and leave the first waiting for ever, so it is turned away.
  if (device->read_in_progress.exchange(true, std::memory_order_acquire)) return KX_ERR_OTHER;
  const KX_STATUS status = ReadAlone(device, static_cast<uint8_t *>(buffer), n, returned);
  device->read_in_progress.store(false, std::memory_order_release);
  return status;
}

namespace {

KX_STATUS ReadAlone(norvec_device *device, uint8_t *destination, uint32_t n, uint32_t *returned) {
  pthread_mutex_lock(&device->rx_lock);
  if (RingQueuedLocked(device) >= n) {
    RingTakeLocked(device, destination, n);
    pthread_mutex_unlock(&device->rx_lock);
    EventFdSync(device);
    *returned = n;
    return KX_OK;
  }
  pthread_mutex_unlock(&device->rx_lock);

  const uint32_t timeout_ms = device->read_timeout.load();
  ReadWaiter waiter;
  pthread_mutex_init(&waiter.event.mutex, nullptr);
  pthread_cond_init(&waiter.event.cond, nullptr);
  *returned = 0;
  RequestReadData(device, &waiter.event, static_cast<int>(n), destination, returned);

  timespec deadline;
  if (timeout_ms != 0) {
    timeval now;
    gettimeofday(&now, nullptr);
    deadline = ReadDeadline(now, timeout_ms);
  }
  pthread_mutex_lock(&waiter.event.mutex);
  const bool ended = WaitFinished(waiter, timeout_ms != 0 ? &deadline : nullptr);
  pthread_mutex_unlock(&waiter.event.mutex);

  KX_STATUS status = KX_OK;
  if (!ended) {
    pthread_mutex_lock(&device->rx_lock);
    const bool still_ours = device->read_pending && device->read_event == &waiter.event;
    if (still_ours) DetachRequestLocked(device);
    pthread_mutex_unlock(&device->rx_lock);
    if (still_ours) {
      status = KX_ERR_IO;
    } else {
      // Completed or purged just as the time-out expired: the party that
      // ended it is about to mark us, and may not find our object gone.
      pthread_mutex_lock(&waiter.event.mutex);
      WaitFinished(waiter, nullptr);
      pthread_mutex_unlock(&waiter.event.mutex);
    }
  }
  pthread_cond_destroy(&waiter.event.cond);
  pthread_mutex_destroy(&waiter.event.mutex);
  return status;
}

}  // namespace

KX_STATUS KX_SetTimeouts(KX_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  device->read_timeout.store(read_timeout_ms);
  device->write_timeout.store(write_timeout_ms);
  return KX_OK;
}
