// Internal: the pollable descriptor of a handle (vexa_get_event_fd). An
// eventfd whose counter is non-zero exactly while the ring holds bytes or a
// status change is unread. The hooks below are called where those conditions
// change; each costs one load and a predictable branch until an application
// asks for the descriptor, and touches the eventfd only on a transition.
#ifndef VEXA_EVENT_FD_H
#define VEXA_EVENT_FD_H

#include <pthread.h>

#include "device.h"

struct EventFd {
  int fd = -1;
  // Guards the two conditions and `readable`, so that the eventfd's counter
  // follows them even when the reader thread and an application thread
  // change them at once. Taken after rx_lock, never before it.
  pthread_mutex_t lock;
  bool ring_filled = false;
  bool status_unread = false;
  bool readable = false;
};

// Slow paths of the hooks, for a handle that has a descriptor.
KX_INTERNAL void EventFdRingChanged(EventFd *events, bool filled);
KX_INTERNAL void EventFdStatusChanged(norvec_device *device, EventFd *events);

// The ring went from empty to holding bytes, or back to empty. The caller
// holds rx_lock.
inline void EventFdRingFilledLocked(norvec_device *device) {
  if (EventFd *events = device->event_fd.load(std::memory_order_acquire))
    EventFdRingChanged(events, true);
}
inline void EventFdRingEmptiedLocked(norvec_device *device) {
  if (EventFd *events = device->event_fd.load(std::memory_order_acquire))
    EventFdRingChanged(events, false);
}

// Overrun, parity, framing and break bits of a packet's line status byte.
// The transmitter bits beside them follow every write, so they wake nobody.
constexpr uint8_t kLineErrorBits = 0x1E;
inline bool LineErrorsDiffer(uint8_t before, uint8_t now) {
  return ((before ^ now) & kLineErrorBits) != 0;
}

// The reader thread saw a modem or line status change (unread = true), or
// KX_GetModemStatus reported the status (unread = false). Called without
// rx_lock. The flag is kept even without a descriptor, so that one created
// later starts from the truth.
inline void EventFdStatusUnread(norvec_device *device, bool unread) {
  device->status_unread.store(unread);
  if (EventFd *events = device->event_fd.load()) EventFdStatusChanged(device, events);
}

// Closes the descriptor; called by KX_Close once the reader thread has ended.
KX_INTERNAL void EventFdRelease(norvec_device *device);

#endif  // VEXA_EVENT_FD_H
