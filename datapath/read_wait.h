// Internal: handing received bytes to a KX_Read that waits for them.
#ifndef VEXA_READ_WAIT_H
#define VEXA_READ_WAIT_H

#include <cstdint>

#include "device.h"

// Hands up to n received payload bytes straight to the waiting KX_Read, when
// one is waiting and the ring is empty (so nothing older is queued ahead of
// them), sparing the copy through the ring. Returns how many it took. When
// that completes the request, it is detached and *completed receives the
// waiter, to be passed to FinishReadRequest once rx_lock is released.
KX_INTERNAL uint32_t DeliverToWaitingReadLocked(norvec_device *device, const uint8_t *data,
                                                uint32_t n, ReadWaiter **completed)
    REQUIRES(device->rx_lock);

// Tells `waiter` (null: nobody) that its request has ended. Called without rx_lock.
KX_INTERNAL void FinishReadRequest(ReadWaiter *waiter) EXCLUDES(waiter->lock);

#endif  // VEXA_READ_WAIT_H
