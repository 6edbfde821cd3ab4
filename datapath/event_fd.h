// Internal: the pollable descriptor of a handle (vexa_get_event_fd). An
// eventfd whose counter is non-zero exactly while the ring holds bytes or a
// status change is unread, except that a KX_Read in progress only clears it
// as it returns.
//
// The ring hooks run under rx_lock and only note the ring's state; the
// eventfd itself is brought in line by EventFdSync once rx_lock is released,
// so that the system call never lengthens a hold of rx_lock (the reader
// thread and KX_Read would queue behind it). Every place that changes the
// ring calls EventFdSync after unlocking; each sync reads the latest state,
// so whichever runs last leaves the descriptor right, and an empty-then-full
// pair that both threads noted before either synced costs no system call.
// Until an application asks for the descriptor, each hook is one load and a
// well-predicted branch.
#ifndef VEXA_EVENT_FD_H
#define VEXA_EVENT_FD_H

#include <atomic>

#include "device.h"

struct EventFd {
  int fd = -1;
  // Written under rx_lock: whether the ring holds bytes.
  std::atomic<bool> ring_filled{false};
  // Serialises the system calls and the changes of `state`. Taken without
  // rx_lock, and only when the descriptor looks out of line or another
  // thread is correcting it: `state` is read without the lock first.
  Mutex lock;
  // kReadable mirrors the eventfd's counter (0 or 1); kBusy is set while a
  // thread holding `lock` corrects it, when kReadable may lag the counter.
  static constexpr int kReadable = 1, kBusy = 2;
  std::atomic<int> state{0};
};

// The ring went from empty to holding bytes, or back to empty. The caller
// holds rx_lock and calls EventFdSync after releasing it.
inline void EventFdRingFilledLocked(norvec_device *device) REQUIRES(device->rx_lock) {
  if (EventFd *events = device->event_fd.load())
    events->ring_filled.store(true);
}
inline void EventFdRingEmptiedLocked(norvec_device *device) REQUIRES(device->rx_lock) {
  if (EventFd *events = device->event_fd.load())
    events->ring_filled.store(false);
}

KX_INTERNAL void EventFdUpdate(EventFd *events, norvec_device *device);

// Brings the descriptor in line with the ring and the status flag. Called
// without rx_lock after any change of either.
inline void EventFdSync(norvec_device *device) {
  if (EventFd *events = device->event_fd.load())
    EventFdUpdate(events, device);
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
  EventFdSync(device);
}

// Closes the descriptor; called by KX_Close once the reader thread has ended.
KX_INTERNAL void EventFdRelease(norvec_device *device);

#endif  // VEXA_EVENT_FD_H
