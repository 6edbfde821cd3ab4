// Internal: the receive ring's storage arithmetic, shared by the reader
// thread (which appends) and the read and purge paths (which take bytes out).
// Every function here requires the caller to hold the device's rx_lock.
#ifndef VEXA_RING_H
#define VEXA_RING_H

#include <cstdint>

#include "device.h"

// Bytes buffered and not yet read.
KX_INTERNAL uint32_t RingQueuedLocked(const norvec_device *device)
    REQUIRES(device->rx_lock);

// Appends n payload bytes at rx_write_pos, wrapping at rx_capacity, and
// lowers rx_free. The caller has checked that n fits in rx_free.
KX_INTERNAL void RingAppendLocked(norvec_device *device, const uint8_t *data, uint32_t n)
    REQUIRES(device->rx_lock);

// Moves n buffered bytes (n <= queued) to dest, advances rx_read_pos, raises
// rx_free, clears the data-received event when the ring becomes empty and
// wakes a reader thread that waits for room once the room it wants is free.
KX_INTERNAL void RingTakeLocked(norvec_device *device, uint8_t *dest, uint32_t n)
    REQUIRES(device->rx_lock);

// Empties the ring and wakes a reader thread that waits for room.
KX_INTERNAL void RingResetLocked(norvec_device *device) REQUIRES(device->rx_lock);

#endif  // VEXA_RING_H
