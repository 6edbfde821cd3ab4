// Internal: the per-handle reader thread that streams bulk IN into the
// receive ring, and the read-request hand-off between it and KX_Read.
#ifndef VEXA_BULK_IN_H
#define VEXA_BULK_IN_H

#include <cstdint>

#include "device.h"

// Thread entry; the argument is the handle's norvec_device.
KX_INTERNAL void *reader_thread(void *device);

// Starts the handle's reader thread (rx_lock and rx_space are initialised by
// the open sequence before). Returns 0, or the pthread_create error.
KX_INTERNAL int StartReaderThread(norvec_device *device);
// Sets stop_reader, wakes the thread from any wait (ring space, stopped
// in-task gate) and joins it. Does nothing when no thread was started.
KX_INTERNAL void StopReaderThread(norvec_device *device);

KX_INTERNAL uint32_t GetBytesPerTransfer(uint32_t size, norvec_device *device);
KX_INTERNAL void ProcessBulkInData(norvec_device *device, unsigned char *data, int count);
// The same for bytes whose transfer began when rx_purges was `purges_seen`:
// after a receive purge since then their payload is dropped (status bytes
// still count), as it was received before the purge.
KX_INTERNAL void ProcessBulkInDataSince(norvec_device *device, unsigned char *data, int count,
                                        uint32_t purges_seen);

KX_INTERNAL void RequestReadData(norvec_device *device, ReadWaiter *event, int length,
                                 unsigned char *destination, uint32_t *returned);
KX_INTERNAL void ProcessRead(norvec_device *device);
KX_INTERNAL void CompleteReadRequest(norvec_device *device);
KX_INTERNAL void CancelReadRequest(norvec_device *device);

// The host side of a receive purge: empties the ring under rx_lock, wakes a
// reader waiting for room, then cancels a waiting KX_Read.
KX_INTERNAL void PurgeReceiveRing(norvec_device *device);

// Process-wide gate that pauses bulk-in streaming (KX_StopInTask / KX_RestartInTask).
KX_INTERNAL int usb_stop_bulk_in();
KX_INTERNAL int usb_start_bulk_in();

#endif  // VEXA_BULK_IN_H
