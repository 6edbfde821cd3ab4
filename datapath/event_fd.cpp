// vexa_get_event_fd: a descriptor that follows the handle's receive state, so
// that an application can wait for it in poll/select/epoll with its others.
#include "event_fd.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>

#include "debug_log.h"
#include "ring.h"

namespace {

bool Wanted(const EventFd *events, const norvec_device *device) {
  return events->ring_filled.load() || device->status_unread.load();
}

// What the descriptor should be, given what it is. While a KX_Read is in
// progress a readable descriptor is left readable: the read may empty the
// ring and then wait for more, and the next transfer usually leaves bytes in
// the ring again, so clearing it in between would cost two system calls per
// transfer for a state no caller can act on (a second read is refused). The
// read brings it in line once it has returned (KX_Read syncs after clearing
// read_in_progress). Making it readable is never put off.
bool Target(const EventFd *events, const norvec_device *device, bool readable) {
  return Wanted(events, device) || (readable && device->read_in_progress.load());
}

}  // namespace

// Most calls find the descriptor already right and return without the lock.
// Two threads that change the state at once cannot both miss: each stores
// its change before it reads `state` (all sequentially consistent), so at
// least one of them sees the descriptor out of line and corrects it, and the
// one correcting it reads the state again after each correction. A thread
// that finds a correction under way waits for it instead of trusting the
// mirror: between the system call and the store of kReadable, the mirror
// says "empty" while the counter already says "readable", and a KX_Read
// returning then would leave the descriptor readable over an empty ring.
void EventFdUpdate(EventFd *events, norvec_device *device) {
  const int seen = events->state.load();
  const bool seen_readable = (seen & EventFd::kReadable) != 0;
  if (!(seen & EventFd::kBusy) && Target(events, device, seen_readable) == seen_readable) return;
  MutexGuard hold(events->lock);
  events->state.fetch_or(EventFd::kBusy);
  for (;;) {
    const bool readable = (events->state.load() & EventFd::kReadable) != 0;
    const bool want = Target(events, device, readable);
    if (want == readable) break;
    uint64_t count = 1;
    // Neither call can fail: the counter only moves between 0 and 1, and
    // the descriptor stays open until the handle closes.
    ssize_t done = want ? write(events->fd, &count, sizeof count)
                        : read(events->fd, &count, sizeof count);
    (void)done;
    events->state.store(EventFd::kBusy | (want ? EventFd::kReadable : 0));
  }
  events->state.fetch_and(~EventFd::kBusy);
}

void EventFdRelease(norvec_device *device) {
  EventFd *events = device->event_fd.exchange(nullptr);
  if (!events) return;
  close(events->fd);
  delete events;
}

extern "C" KX_API KX_STATUS vexa_get_event_fd(KX_HANDLE handle, int *fd) {
  norvec_device *device = as_device(handle);
  if (!device || !fd) return KX_ERR_PARAMETER;
  if (EventFd *existing = device->event_fd.load()) {
    *fd = existing->fd;
    return KX_OK;
  }

  EventFd *created = new (std::nothrow) EventFd();
  if (!created) return KX_ERR_RESOURCES;
  created->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (created->fd < 0) {
    VEXA_DEBUG_LOG("eventfd failed: errno %d", errno);
    delete created;
    return KX_ERR_RESOURCES;
  }

  // Published under rx_lock, which every ring change holds, so the ring
  // state noted here cannot go stale before the hooks see the descriptor. A
  // second caller racing this one keeps the first descriptor.
  EventFd *events;
  {
    MutexGuard hold(device->rx_lock);
    events = device->event_fd.load();
    if (!events) {
      events = created;
      created = nullptr;
      events->ring_filled.store(RingQueuedLocked(device) != 0);
      device->event_fd.store(events);
    }
  }
  EventFdUpdate(events, device);

  if (created) {
    close(created->fd);
    delete created;
  }
  *fd = events->fd;
  return KX_OK;
}
