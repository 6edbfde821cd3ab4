// KX_Read and the read-request hand-off between the application's thread and
// the handle's reader thread.
//
// How a waiting read ends without races: the request slot (the read_*
// fields) is guarded by rx_lock, like the ring. Whoever ends a request - the
// reader thread when the last byte is delivered, a receive purge, or the
// waiter itself when its time-out expires - detaches it from the slot while
// holding rx_lock, so exactly one party ends each request and nothing
// reaches the caller's buffer or count afterwards. A party other than the
// waiter then marks the handle's wait object finished under its own mutex,
// after releasing rx_lock (the two locks are never held together). The
// waiter only returns once it has either detached the request itself or
// seen that mark; because the mark is set under the mutex it waits with, it
// can never be missed.
#include <algorithm>
#include <cstring>

#include "bulk_in.h"
#include "event_fd.h"
#include "read_wait.h"
#include "ring.h"

namespace {

// Empties the request slot; returns the waiter when a request was pending.
ReadWaiter *DetachRequestLocked(norvec_device *device) REQUIRES(device->rx_lock) {
  ReadWaiter *waiter = device->read_pending ? device->read_event : nullptr;
  device->read_pending = 0;
  device->read_event = nullptr;
  return waiter;
}

// Tells a waiting KX_Read that its request has ended. Called without rx_lock.
void MarkFinished(ReadWaiter *waiter) {
  if (!waiter) return;
  {
    MutexGuard hold(waiter->lock);
    waiter->finished = true;
  }
  waiter->changed.Signal();
}

void EndRequest(norvec_device *device) {
  ReadWaiter *waiter;
  {
    MutexGuard hold(device->rx_lock);
    waiter = DetachRequestLocked(device);
  }
  MarkFinished(waiter);
}

// Waits until the request has ended or the deadline (null: none) has
// passed. Returns whether it ended.
bool WaitFinished(ReadWaiter &waiter, const timespec *deadline) {
  MutexGuard hold(waiter.lock);
  return waiter.changed.WaitUntil(waiter.lock, deadline,
                                  [&]() REQUIRES(waiter.lock) { return waiter.finished; });
}

}  // namespace

void RequestReadData(norvec_device *device, ReadWaiter *event, int length,
                     unsigned char *destination, uint32_t *returned) {
  device->rx_lock.Lock();
  device->read_event = event;
  device->read_length = static_cast<uint32_t>(length);
  device->read_dest = destination;
  device->read_returned = returned;
  device->read_done = 0;
  device->read_pending = 1;
  device->rx_lock.Unlock();
}

void ProcessRead(norvec_device *device) {
  ReadWaiter *completed = nullptr;
  device->rx_lock.Lock();
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
  device->rx_lock.Unlock();
  MarkFinished(completed);
}

uint32_t DeliverToWaitingReadLocked(norvec_device *device, const uint8_t *data, uint32_t n,
                                    ReadWaiter **completed) {
  if (!device->read_pending || RingQueuedLocked(device) != 0) return 0;
  const uint32_t take = std::min(device->read_length - device->read_done, n);
  std::memcpy(device->read_dest + device->read_done, data, take);
  device->read_done += take;
  *device->read_returned += take;
  if (device->read_done == device->read_length) *completed = DetachRequestLocked(device);
  return take;
}

void FinishReadRequest(ReadWaiter *waiter) { MarkFinished(waiter); }

void CompleteReadRequest(norvec_device *device) { EndRequest(device); }

void CancelReadRequest(norvec_device *device) { EndRequest(device); }

void PurgeReceiveRing(norvec_device *device) {
  device->rx_lock.Lock();
  RingResetLocked(device);
  device->rx_purges.fetch_add(1);
  device->rx_lock.Unlock();
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
  if (device->read_in_progress.exchange(true)) return KX_ERR_OTHER;
  const KX_STATUS status = ReadAlone(device, static_cast<uint8_t *>(buffer), n, returned);
  // Sequentially consistent, as the descriptor's update reads it: either a
  // purge or status read racing this one sees the flag cleared and corrects
  // the descriptor itself, or the sync below sees what that call changed.
  device->read_in_progress.store(false);
  EventFdSync(device);  // what was put off while the read was in progress
  return status;
}

namespace {

KX_STATUS ReadAlone(norvec_device *device, uint8_t *destination, uint32_t n, uint32_t *returned) {
  device->rx_lock.Lock();
  if (RingQueuedLocked(device) >= n) {
    RingTakeLocked(device, destination, n);
    device->rx_lock.Unlock();
    *returned = n;
    return KX_OK;
  }
  device->rx_lock.Unlock();

  const uint32_t timeout_ms = device->read_timeout.load();
  ReadWaiter &waiter = device->read_waiter;
  {
    MutexGuard hold(waiter.lock);
    waiter.finished = false;
  }
  *returned = 0;
  RequestReadData(device, &waiter, static_cast<int>(n), destination, returned);
  // What the ring holds already is taken here rather than by the reader
  // thread: the reader may be asleep for want of room, and waking it only to
  // copy what this thread can copy itself would put a wake-up in series with
  // every read larger than the ring. Emptying the ring wakes a reader that
  // waits for room, which then delivers the rest straight into the buffer.
  ProcessRead(device);

  // Measured on the monotonic clock, so that a step of the wall clock
  // neither stretches nor cuts the wait.
  timespec deadline;
  if (timeout_ms != 0) deadline = MonotonicDeadline(timeout_ms);
  if (WaitFinished(waiter, timeout_ms != 0 ? &deadline : nullptr)) return KX_OK;

  bool still_ours;
  {
    MutexGuard hold(device->rx_lock);
    still_ours = device->read_pending && device->read_event == &waiter;
    if (still_ours) DetachRequestLocked(device);
  }
  if (still_ours) return KX_ERR_IO;
  // Completed or purged just as the time-out expired: the party that ended
  // it is about to mark us, and the bytes it delivered count.
  WaitFinished(waiter, nullptr);
  return KX_OK;
}

}  // namespace

KX_STATUS KX_SetTimeouts(KX_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  device->read_timeout.store(read_timeout_ms);
  device->write_timeout.store(write_timeout_ms);
  return KX_OK;
}
