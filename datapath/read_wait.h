// Internal: the private wait object of a KX_Read that has to wait, and the
// deadline arithmetic of its read time-out.
#ifndef VEXA_READ_WAIT_H
#define VEXA_READ_WAIT_H

#include <sys/time.h>
#include <time.h>

#include <cstdint>

#include "device.h"

// The waiting caller's event object with the flag that tells it the request
// has ended. `event` comes first, so the read_event pointer in the request
// slot converts back to the whole object. `finished` is guarded by
// event.mutex; whoever ends the request sets it under that mutex and never
// touches the object again afterwards.
struct ReadWaiter {
  _EVENT_HANDLE event;
  bool finished = false;
};

// Hands up to n received payload bytes straight to the waiting KX_Read, when
// one is waiting and the ring is empty (so nothing older is queued ahead of
// them), sparing the copy through the ring. Returns how many it took. When
// that completes the request, it is detached and *completed receives the
// waiter's event, to be passed to FinishReadRequest once rx_lock is released.
// The caller holds rx_lock.
KX_INTERNAL uint32_t DeliverToWaitingReadLocked(norvec_device *device, const uint8_t *data,
                                                uint32_t n, _EVENT_HANDLE **completed);

// Tells the waiter behind `event` (null: nobody) that its request has ended.
// Called without rx_lock.
KX_INTERNAL void FinishReadRequest(_EVENT_HANDLE *event);

// Absolute deadline (realtime clock) timeout_ms after now, with the
// microseconds carried into whole seconds.
KX_INTERNAL timespec ReadDeadline(const timeval &now, uint32_t timeout_ms);

#endif  // VEXA_READ_WAIT_H
