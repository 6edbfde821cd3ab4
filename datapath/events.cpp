// Event notification and the queue and status queries. The status word is
// an atomic shared with the reader thread: reading it clears it in one
// exchange, so an event raised in between is kept for the next read.
#include "device.h"
#include "ring.h"

namespace {

// Returns once the reader thread is not signalling an object other than the
// one registered now: the application may then free the one it replaced.
void WaitUntilOldObjectLeft(norvec_device *device) {
  _EVENT_HANDLE *current = (device->event_flags.load() & 1u) ? device->event_handle.load() : nullptr;
  MutexGuard hold(device->event_lock);
  device->event_idle.WaitUntil(device->event_lock, nullptr, [&]() REQUIRES(device->event_lock) {
    return !device->event_in_use || device->event_in_use == current;
  });
}

}  // namespace

KX_STATUS KX_SetEventNotification(KX_HANDLE handle, uint32_t mask, _EVENT_HANDLE *event) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  MutexGuard hold(device->control_lock);
  if (mask == 0) {
    // Off; the status word keeps what it holds until it is read.
    device->event_flags.fetch_and(~1u);
  } else {
    device->event_status.store(0);
    device->event_handle.store(event);
    device->event_mask.store(mask);
    device->event_owner = device;
    // Enabled last, so the reader never sees the flag with the old object.
    device->event_flags.fetch_or(1u);
  }
  WaitUntilOldObjectLeft(device);
  return KX_OK;
}

KX_STATUS KX_GetQueueStatus(KX_HANDLE handle, uint32_t *queued) {
  norvec_device *device = as_device(handle);
  if (!device || !queued) return KX_ERR_PARAMETER;
  MutexGuard hold(device->rx_lock);
  *queued = RingQueuedLocked(device);
  return KX_OK;
}

KX_STATUS KX_GetStatus(KX_HANDLE handle, uint32_t *rx_bytes, uint32_t *tx_bytes,
                       uint32_t *events) {
  norvec_device *device = as_device(handle);
  if (!device || !rx_bytes || !tx_bytes || !events) return KX_ERR_PARAMETER;
  {
    MutexGuard hold(device->rx_lock);
    *rx_bytes = RingQueuedLocked(device);
  }
  *tx_bytes = 0;  // writes go straight to the bus: there is no transmit queue
  *events = device->event_status.exchange(0);
  return KX_OK;
}

KX_STATUS KX_GetEventStatus(KX_HANDLE handle, uint32_t *events) {
  norvec_device *device = as_device(handle);
  if (!device || !events) return KX_ERR_PARAMETER;
  *events = device->event_status.exchange(0);
  return KX_OK;
}

KX_STATUS KX_SetWaitMask(KX_HANDLE, uint32_t) { return KX_ERR_UNSUPPORTED; }

KX_STATUS KX_WaitOnMask(KX_HANDLE, uint32_t *) { return KX_ERR_UNSUPPORTED; }
