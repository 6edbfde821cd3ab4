// The per-handle reader thread: streams the bulk IN endpoint into the
// receive ring, strips the status bytes that lead every packet, raises the
// application's events and serves a waiting KX_Read.
#include "bulk_in.h"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <new>

#include "debug_log.h"
#include "event_fd.h"
#include "in_task_gate.h"
#include "read_wait.h"
#include "ring.h"
#include "transfer_size.h"
#include "usb_control.h"

namespace {

constexpr int kBulkReadTimeoutMs = 5000;
constexpr uint32_t kPreferredBufferSize = 65536;
// Used when the heap buffer cannot be had: room for one packet of any bulk
// endpoint, so that single-packet reads never overrun it.
constexpr uint32_t kFallbackBufferSize = 512;
// Upper bound of one wait for ring room: the read and purge paths signal
// rx_space once half the ring is free, and this bounds the wait when the
// application stops reading with less than that freed.
constexpr uint32_t kRoomWaitMs = 50;
// Back-off after consecutive failed or empty transfers: an unplugged device
// fails at once, and retrying without a pause would spin a core.
constexpr uint32_t kMaxBackoffMs = 100;
// How long the reader waits for an application's event mutex before it
// checks again whether the object is still registered.
constexpr uint32_t kEventLockSliceMs = 20;

enum class ReaderState { Start, Check, Allocate, Stream, Recover, Exit };

// Waits once on rx_space for at most ms, unless `ready` already holds. A
// single wait, not a loop: any signal of rx_space (room freed, a read
// request, a purge, a close) sends the reader back to look at its state.
void WaitOnRxSpaceLocked(norvec_device *device, uint32_t ms, bool ready) REQUIRES(device->rx_lock) {
  if (ready) return;
  const timespec deadline = MonotonicDeadline(ms);
  device->rx_space.WaitOnce(device->rx_lock, &deadline);
}

class Reader {
 public:
  explicit Reader(norvec_device *device) : device_(device) {}

  void Run() {
    ReaderState state = ReaderState::Start;
    while (state != ReaderState::Exit) {
      switch (state) {
        case ReaderState::Start:
          state = ReaderState::Check;
          break;
        case ReaderState::Check:
          state = device_->stop_reader.load() ? ReaderState::Exit : ReaderState::Allocate;
          break;
        case ReaderState::Allocate:
          Allocate();
          state = ReaderState::Stream;
          break;
        case ReaderState::Stream:
          state = StreamPass();
          break;
        case ReaderState::Recover:
          Backoff();
          state = ReaderState::Stream;
          break;
        case ReaderState::Exit:
          break;
      }
    }
    // The heap buffer, if any, is released by its owner on return.
  }

 private:
  void Allocate() {
    if (!buffer_) {
      heap_.reset(new (std::nothrow) uint8_t[kPreferredBufferSize]);
      if (heap_) {
        buffer_ = heap_.get();
        buffer_size_ = kPreferredBufferSize;
      } else {
        buffer_ = fallback_;
        const uint32_t packet = device_->max_packet_size;
        buffer_size_ = std::clamp<uint32_t>(packet, 64, kFallbackBufferSize);
        device_->in_buffer_size.store(buffer_size_);
        device_->in_transfer_size.store(buffer_size_);
      }
    }
    size_in_use_ = buffer_size_;
    bytes_per_transfer_ = GetBytesPerTransfer(size_in_use_, device_);
    held_count_ = 0;
    KX_SetDeadmanTimeout(device_);
  }

  ReaderState StreamPass() {
    if (device_->stop_reader.load()) return ReaderState::Check;

    AdoptTransferSize();
    ProcessRead(device_);
    uint32_t room = FreeSpace();

    // A receive purge since the held-back payload arrived discarded it.
    if (held_count_ != 0 && device_->rx_purges.load() != held_purges_) held_count_ = 0;
    if (held_count_ != 0 && room >= held_count_) {
      // The held-back payload enters the ring as a packet of its own, led by
      // the status bytes of the packet it came from.
      const uint8_t modem = buffer_[0];
      const uint8_t line = buffer_[1];
      buffer_[held_offset_ - 2] = modem;
      buffer_[held_offset_ - 1] = line;
      ProcessBulkInDataSince(device_, buffer_ + held_offset_ - 2, static_cast<int>(held_count_ + 2),
                             held_purges_);
      held_count_ = 0;
      room = FreeSpace();
    }

    if (held_count_ != 0 || room == 0) {
      WaitForRoom();
      return ReaderState::Stream;
    }

    const uint32_t length =
        InTransferLength(room, device_->max_packet_size, size_in_use_, bytes_per_transfer_);
    const bool single_packet = room < device_->max_packet_size;

    // While streaming is paused no transfer starts; buffered bytes stay
    // readable, as a waiting read serves itself from the ring. After a pause
    // the pass starts again, to size the transfer to the room there is then.
    if (WaitWhileInTaskStopped(device_)) return ReaderState::Stream;

    const int got = usb_bulk_read(device_->usb_handle, static_cast<int>(device_->in_endpoint),
                                  reinterpret_cast<char *>(buffer_), static_cast<int>(length),
                                  kBulkReadTimeoutMs);
    if (got <= 0)
      VEXA_DEBUG_LOG("bulk read endpoint 0x%02x length %u -> %d", device_->in_endpoint, length, got);
    // What the transfer brought was received by now: a purge from here on
    // until it is stored discards it. (A purge while the transfer was still
    // open emptied the chip, so the bytes that ended it came after.)
    const uint32_t purges = device_->rx_purges.load();
    if (got < 0) return ReaderState::Recover;
    if (got == 0) {
      // A stalled endpoint or a vanished device answers at once with nothing;
      // pause as after a failure instead of spinning.
      return ReaderState::Recover;
    }
    failures_ = 0;

    int now = std::min(got, static_cast<int>(length));
    if (single_packet && now >= 2 && static_cast<uint32_t>(now - 2) > room) {
      // More payload than room: store what fits, keep the rest in our buffer.
      held_offset_ = room + 2;
      held_count_ = static_cast<uint32_t>(now) - held_offset_;
      held_purges_ = purges;
      now = static_cast<int>(held_offset_);
    }
    ProcessBulkInDataSince(device_, buffer_, now, purges);
    return ReaderState::Stream;
  }

  void AdoptTransferSize() {
    const uint32_t requested = std::min(device_->in_transfer_size.load(), buffer_size_);
    if (requested == 0 || requested == size_in_use_) return;
    size_in_use_ = requested;
    bytes_per_transfer_ = GetBytesPerTransfer(size_in_use_, device_);
    KX_SetDeadmanTimeout(device_);
    {
      MutexGuard hold(device_->rx_lock);
      device_->rx_capacity = GetBytesPerTransfer(device_->in_buffer_size.load(), device_);
      RingResetLocked(device_);
    }
    EventFdSync(device_);
  }

  uint32_t FreeSpace() {
    // Only this thread lowers rx_free, so the value stays a safe lower bound
    // after the lock is released.
    MutexGuard hold(device_->rx_lock);
    return device_->rx_free;
  }

  // Ring full or payload held back: wait until the application has freed
  // half the ring, a read request needs serving, or the handle closes. Each
  // wake-up costs both threads more than copying a few KiB, so the reader is
  // not woken for every small read (hysteresis: it stops at a full ring and
  // starts again at half). The time-out bounds the wait when the application
  // stops reading with less freed; the next pass then uses what room there is.
  void WaitForRoom() {
    MutexGuard hold(device_->rx_lock);
    const uint32_t need = std::max({held_count_, device_->rx_capacity / 2, 1u});
    device_->rx_room_wanted = need;
    WaitOnRxSpaceLocked(device_, kRoomWaitMs,
                        device_->stop_reader.load() != 0 || device_->rx_free >= need ||
                            (device_->read_pending != 0 && RingQueuedLocked(device_) != 0));
    device_->rx_room_wanted = 0;
  }

  void Backoff() {
    ++failures_;
    const uint32_t shift = std::min<uint32_t>(failures_ - 1, 7);
    const uint32_t ms = std::min<uint32_t>(1u << shift, kMaxBackoffMs);
    MutexGuard hold(device_->rx_lock);
    // rx_space is also signalled by StopReaderThread, so a close is not delayed.
    WaitOnRxSpaceLocked(device_, ms, device_->stop_reader.load() != 0);
  }

  norvec_device *device_;
  std::unique_ptr<uint8_t[]> heap_;
  uint8_t fallback_[kFallbackBufferSize] = {};
  uint8_t *buffer_ = nullptr;
  uint32_t buffer_size_ = 0;
  uint32_t size_in_use_ = 0;
  uint32_t bytes_per_transfer_ = 0;
  uint32_t held_count_ = 0;
  uint32_t held_offset_ = 0;
  uint32_t held_purges_ = 0;  // rx_purges when the held-back payload's transfer began
  uint32_t failures_ = 0;
};

// Raises one event bit if the status word is wholly clear; the whole-word
// test means nothing new is raised while any event is still pending.
bool RaiseEvent(norvec_device *device, uint32_t bit) {
  uint32_t expected = 0;
  return device->event_status.compare_exchange_strong(expected, bit);
}

// Whether the reader must leave `event` alone: notification was switched
// off or moved to another object, or the handle is closing.
bool EventObjectReleased(const norvec_device *device, const _EVENT_HANDLE *event) {
  return device->stop_reader.load() != 0 || !(device->event_flags.load() & 1u) ||
         device->event_handle.load() != event;
}

// Locks, signals and unlocks the application's event object `times` times.
// The application may hold the object's mutex while it switches notification
// off or closes the handle, and waits for this thread meanwhile; so the lock
// is waited for in slices, between which a released object is given up.
void SignalEventObject(norvec_device *device, _EVENT_HANDLE *event, int times) {
  {
    MutexGuard hold(device->event_lock);
    if (EventObjectReleased(device, event)) return;
    device->event_in_use = event;
  }
  for (int k = 0; k < times; ++k) {
    int locked;
    do {
      // The application's mutex can only be waited for against the wall
      // clock (the sanitizers know no other timed lock). A step of that
      // clock changes one slice at most, and the lock is taken the moment
      // the application lets it go, whatever the slice.
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      const timespec slice = DeadlineAfter(now, kEventLockSliceMs);
      locked = pthread_mutex_timedlock(&event->mutex, &slice);
    } while (locked == ETIMEDOUT && !EventObjectReleased(device, event));
    if (locked != 0) break;
    pthread_cond_signal(&event->cond);
    pthread_mutex_unlock(&event->mutex);
  }
  {
    MutexGuard hold(device->event_lock);
    device->event_in_use = nullptr;
  }
  device->event_idle.Broadcast();
}

struct StoredPayload {
  ReadWaiter *completed = nullptr;  // a read this completed, to be told after unlocking
  bool delivered = false;              // some bytes went straight to a waiting read
  bool ring_empty = false;             // the ring was empty afterwards
  bool dropped = false;                // a receive purge came first: nothing was stored
};

// Hands a transfer's payload to the KX_Read waiting on an empty ring, as if
// it had passed through the ring, and stores what that read does not take.
// Under rx_lock: the caller's buffer is ours only while its request is.
void StoreForWaitingReadLocked(norvec_device *device, const uint8_t *data, int count,
                               int packet_size, StoredPayload *stored) REQUIRES(device->rx_lock) {
  for (int at = 0; at < count; at += packet_size) {
    const int length = std::min(count - at, packet_size);
    if (length <= 2) continue;
    const uint8_t *payload = data + at + 2;
    const uint32_t n = static_cast<uint32_t>(length - 2);
    const uint32_t direct = DeliverToWaitingReadLocked(device, payload, n, &stored->completed);
    stored->delivered = stored->delivered || direct != 0;
    if (n > direct) RingAppendLocked(device, payload + direct, n - direct);
  }
  stored->ring_empty = RingQueuedLocked(device) == 0;
}

// Stores the payload of every packet of a transfer. Unless a read waits on
// an empty ring, the payload is copied into the ring's free part without
// rx_lock and published under it afterwards: holding the lock through the
// copy of a whole transfer (64 packets of 64 bytes) made KX_Read wait for
// it, and a thread that waits for a mutex goes to sleep.
StoredPayload StorePayload(norvec_device *device, const uint8_t *data, int count, int packet_size,
                           const uint32_t *purges_seen) {
  StoredPayload stored;
  // An idle chip's status-only packets carry nothing for the ring: no lock.
  if (count <= 2) return stored;
  RingWriter writer;
  uint32_t purges;
  {
    MutexGuard hold(device->rx_lock);
    purges = device->rx_purges.load();
    if (purges_seen && *purges_seen != purges) {
      stored.dropped = true;
      return stored;
    }
    if (device->read_pending && RingQueuedLocked(device) == 0) {
      StoreForWaitingReadLocked(device, data, count, packet_size, &stored);
      return stored;
    }
    writer = RingWriterLocked(device);
  }
  for (int at = 0; at < count; at += packet_size) {
    const int length = std::min(count - at, packet_size);
    if (length > 2) writer.Put(data + at + 2, static_cast<uint32_t>(length - 2));
  }
  MutexGuard hold(device->rx_lock);
  // A purge during the copy emptied the ring: these bytes came before it.
  if (device->rx_purges.load() != purges) {
    stored.dropped = true;
    return stored;
  }
  RingCommitLocked(device, writer);
  stored.ring_empty = RingQueuedLocked(device) == 0;
  return stored;
}

}  // namespace

void *reader_thread(void *device) {
  Reader(static_cast<norvec_device *>(device)).Run();
  return nullptr;
}

int StartReaderThread(norvec_device *device) {
  device->stop_reader.store(0);
  const int rc = pthread_create(&device->reader_tid, nullptr, reader_thread, device);
  device->reader_started = rc == 0;
  return rc;
}

void StopReaderThread(norvec_device *device) {
  if (!device->reader_started) return;
  device->stop_reader.store(1);
  WakeInTaskGate();
  {
    MutexGuard hold(device->rx_lock);
    device->rx_space.Broadcast();
  }
  pthread_join(device->reader_tid, nullptr);
  device->reader_started = false;
}

uint32_t GetBytesPerTransfer(uint32_t size, norvec_device *device) {
  const uint32_t packet = device->max_packet_size;
  if (packet == 0) return size;
  return size - 2 * (size / packet);
}

namespace {

void ProcessTransfer(norvec_device *device, unsigned char *data, int count, const uint32_t *purges_seen) {
  if (count <= 0) return;
  const int packet_size = device->max_packet_size ? static_cast<int>(device->max_packet_size) : count;

  const StoredPayload stored = StorePayload(device, data, count, packet_size, purges_seen);
  EventFdSync(device);

  // Then each packet's status bytes and events, in arrival order, so that a
  // modem change is seen per packet and the event rules hold packet by packet.
  int signals = 0;
  _EVENT_HANDLE *event = nullptr;
  for (int at = 0; at < count; at += packet_size) {
    const int length = std::min(count - at, packet_size);
    const uint8_t modem = data[at] & 0xF0;
    // The line state rarely changes: the locked exchange runs only when it does.
    bool modem_changed = false;
    if (device->modem_status.load(std::memory_order_relaxed) != modem)
      modem_changed = device->modem_status.exchange(modem) != modem;
    const bool errors_changed =
        length >= 2 && LineErrorsDiffer(device->line_status.load(std::memory_order_relaxed), data[at + 1]);
    if (length >= 2) device->line_status.store(data[at + 1], std::memory_order_relaxed);
    if (modem_changed || errors_changed) EventFdStatusUnread(device, true);
    if (!(device->event_flags.load() & 1u)) continue;

    const bool brought_data = length > 2 && !stored.dropped;
    const uint32_t mask = device->event_mask.load();
    bool raised = false;
    if (brought_data && (mask & KX_EVENT_RX_DATA)) raised = RaiseEvent(device, KX_EVENT_RX_DATA);
    if (modem_changed && (mask & KX_EVENT_MODEM_CHANGED))
      raised = RaiseEvent(device, KX_EVENT_MODEM_CHANGED) || raised;
    if (raised && (event = device->event_handle.load()) != nullptr) ++signals;
  }
  // Bytes handed over directly left the ring empty, as a read that empties
  // it does: the data-received event is over (only this thread fills the ring).
  if (stored.delivered && stored.ring_empty) device->event_status.fetch_and(~KX_EVENT_RX_DATA);
  // The read is told before the application's event object is signalled:
  // the application may hold that object's mutex while it reads, and the
  // read must not wait for it.
  FinishReadRequest(stored.completed);
  if (signals != 0) SignalEventObject(device, event, signals);
}

}  // namespace

void ProcessBulkInData(norvec_device *device, unsigned char *data, int count) {
  ProcessTransfer(device, data, count, nullptr);
}

void ProcessBulkInDataSince(norvec_device *device, unsigned char *data, int count, uint32_t purges_seen) {
  ProcessTransfer(device, data, count, &purges_seen);
}

KX_STATUS KX_SetUSBParameters(KX_HANDLE, uint32_t, uint32_t) { return KX_OK; }

KX_STATUS KX_StopInTask(KX_HANDLE handle) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  device->in_task_stopped.store(1);
  (void)usb_stop_bulk_in();
  return KX_OK;
}

KX_STATUS KX_RestartInTask(KX_HANDLE handle) {
  norvec_device *device = as_device(handle);
  if (!device) return KX_ERR_PARAMETER;
  device->in_task_stopped.store(0);
  (void)usb_start_bulk_in();
  return KX_OK;
}
