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

// The reader thread's append without the lock during the copy. Only that
// thread writes into the ring's free part and nothing reads there, so it
// notes where the free part begins (RingWriterLocked), copies outside
// rx_lock (Put), and publishes the bytes under rx_lock (RingCommitLocked),
// which gives them to readers. A purge in between resets the positions;
// the caller then drops the copy instead of committing it.
struct RingWriter {
  uint8_t *ring;
  uint32_t capacity;
  uint32_t pos;
  uint32_t written;
  // Copies n payload bytes (n <= the free room noted) at pos, wrapping.
  void Put(const uint8_t *data, uint32_t n);
};
KX_INTERNAL RingWriter RingWriterLocked(norvec_device *device) REQUIRES(device->rx_lock);
KX_INTERNAL void RingCommitLocked(norvec_device *device, const RingWriter &writer)
    REQUIRES(device->rx_lock);

// Moves n buffered bytes (n <= queued) to dest, advances rx_read_pos, raises
// rx_free, clears the data-received event when the ring becomes empty and
// wakes a reader thread that waits for room once the room it wants is free.
KX_INTERNAL void RingTakeLocked(norvec_device *device, uint8_t *dest, uint32_t n)
    REQUIRES(device->rx_lock);

// Empties the ring and wakes a reader thread that waits for room.
KX_INTERNAL void RingResetLocked(norvec_device *device) REQUIRES(device->rx_lock);

#endif  // VEXA_RING_H
