// Internal: the per-channel record behind every KX_HANDLE, and the helpers of
// the discovery subsystem that the other subsystems call.
#ifndef VEXA_DEVICE_H
#define VEXA_DEVICE_H

#include <limits.h>  // usb.h sizes its path buffers by PATH_MAX, as libusb itself was built
#include <pthread.h>
#include <usb.h>

#include <atomic>
#include <cstdint>

#include "sync.h"
#include "vexa.h"

// Everything inside the library is hidden; only KX_API names are exported.
#define KX_INTERNAL __attribute__((visibility("hidden")))

struct EventFd;

// The wait object of a KX_Read that has to wait. Whoever ends the request
// sets `finished` under `lock` and signals `changed` after releasing it, so
// that the woken caller does not at once wait for the lock again. The one
// object of a handle lives as long as its record: a signal that comes late
// finds it still there, and a caller that waits again checks `finished`.
struct ReadWaiter {
  Mutex lock;
  MonotonicCondition changed;
  bool finished GUARDED_BY(lock) = false;
};

// One open channel. Allocated by KX_Open/KX_OpenEx, freed by KX_Close.
// Fields that the reader thread and application threads both touch without
// a lock are atomics, so that neither side ever reads a torn value; every
// other field shared between threads names its lock with GUARDED_BY. Fields
// without either are written only while one thread owns the record (open,
// close) and read-only in between.
struct norvec_device {
  // USB binding
  usb_dev_handle *usb_handle = nullptr;
  uint32_t interface = 0;
  uint8_t port_index = 0;
  uint32_t out_endpoint = 0;
  uint32_t in_endpoint = 0;
  std::atomic<const char *> last_error_text{nullptr};
  // The bus-list entry this handle was opened from. A rescan frees the
  // entries of unplugged devices, so nothing after the open dereferences it:
  // what later calls need is copied into `descriptor` at open.
  struct usb_device *usb_device = nullptr;
  struct usb_device_descriptor descriptor = {};

  // Line state, rewritten by the reader thread from every packet's status bytes.
  std::atomic<uint8_t> modem_status{0};
  std::atomic<uint8_t> line_status{0};

  // Time-outs (KX_SetTimeouts).
  std::atomic<uint32_t> read_timeout{0};
  std::atomic<uint32_t> write_timeout{0};

  // Receive block.
  pthread_t reader_tid{};
  bool reader_started = false;
  std::atomic<uint32_t> stop_reader{0};
  std::atomic<uint32_t> in_task_stopped{0};
  Mutex rx_lock;
  // Signalled (under rx_lock) whenever ring space is freed or the ring is
  // reset, so that a reader waiting for room does not poll.
  MonotonicCondition rx_space;
  // The ring's storage: allocated at open, freed at close; its bytes and
  // positions change only under rx_lock.
  uint8_t *rx_buffer PT_GUARDED_BY(rx_lock) = nullptr;
  uint32_t rx_write_pos GUARDED_BY(rx_lock) = 0;
  uint32_t rx_read_pos GUARDED_BY(rx_lock) = 0;
  uint32_t rx_capacity GUARDED_BY(rx_lock) = 0;
  uint32_t rx_free GUARDED_BY(rx_lock) = 0;
  // Room the reader thread waits for in rx_space (0: it is not waiting), so
  // that taking bytes wakes it only once that much is free.
  uint32_t rx_room_wanted GUARDED_BY(rx_lock) = 0;
  // Receive purges so far, raised under rx_lock. The reader thread notes it
  // before each transfer and drops what that transfer brings when a purge
  // came in between: those bytes were received before the purge.
  std::atomic<uint32_t> rx_purges{0};

  // Settings block: shadows of the last settings the chip acknowledged.
  // Guarded by control_lock, which a setting call holds from its request to
  // its shadow update, so that two threads setting the same thing leave the
  // shadow as the chip ended up. The reader thread never takes it.
  Mutex control_lock;
  uint32_t baud_rate GUARDED_BY(control_lock) = 0;
  uint8_t line_control[3] GUARDED_BY(control_lock) = {};
  uint8_t flow_control[4] GUARDED_BY(control_lock) = {};
  uint8_t special_chars[4] GUARDED_BY(control_lock) = {};
  uint8_t bit_mode[2] GUARDED_BY(control_lock) = {};
  // Written under control_lock, read without it by the getter.
  std::atomic<uint8_t> latency_timer{0};
  uint8_t modem_control GUARDED_BY(control_lock) = 0;
  uint16_t flow_control_value GUARDED_BY(control_lock) = 0;
  uint16_t line_control_value GUARDED_BY(control_lock) = 0;

  // Event block. A registration writes its fields under control_lock, so
  // that two at once cannot mix; the reader thread reads the atomics alone.
  norvec_device *event_owner GUARDED_BY(control_lock) = nullptr;
  std::atomic<uint32_t> event_mask{0};
  std::atomic<_EVENT_HANDLE *> event_handle{nullptr};
  std::atomic<uint32_t> event_status{0};
  std::atomic<uint32_t> event_flags{0};
  // The descriptor of vexa_get_event_fd (null until asked for), and whether a
  // modem or line status change is waiting for KX_GetModemStatus.
  std::atomic<EventFd *> event_fd{nullptr};
  std::atomic<bool> status_unread{false};
  // The event object the reader thread is signalling right now (null: none),
  // guarded by event_lock: a registration change waits on event_idle until
  // the reader has left the object it replaces.
  Mutex event_lock;
  MonotonicCondition event_idle;
  _EVENT_HANDLE *event_in_use GUARDED_BY(event_lock) = nullptr;

  // Transfer parameters.
  uint32_t max_packet_size = 0;
  std::atomic<uint32_t> transfer_timeout{0};

  // Pending read (one slot per handle): the waiting KX_Read's wait object
  // (read_waiter while a request is pending), its buffer and count.
  ReadWaiter read_waiter;
  ReadWaiter *read_event GUARDED_BY(rx_lock) = nullptr;
  uint32_t read_length GUARDED_BY(rx_lock) = 0;
  uint32_t read_done GUARDED_BY(rx_lock) = 0;
  uint8_t *read_dest PT_GUARDED_BY(rx_lock) = nullptr;
  uint32_t *read_returned PT_GUARDED_BY(rx_lock) = nullptr;
  uint32_t read_pending GUARDED_BY(rx_lock) = 0;
  // Held by the KX_Read in progress: a second one on another thread is
  // refused instead of taking over the request slot of the first.
  std::atomic<bool> read_in_progress{false};

  // USB transfer sizes.
  std::atomic<uint32_t> in_buffer_size{0};
  std::atomic<uint32_t> in_transfer_size{0};

  // Identity.
  uint32_t device_type = 0;
};

// The handle as the record it points to (null stays null).
inline norvec_device *as_device(KX_HANDLE handle) { return static_cast<norvec_device *>(handle); }

// Device type code of a device descriptor (KX_DEVICE_x).
KX_INTERNAL uint32_t get_device_type(const struct usb_device_descriptor &descriptor);
KX_INTERNAL uint32_t get_device_type(struct usb_device *device);

// Acceptance check: nonzero when the library deals with this vendor/product pair.
KX_INTERNAL int check_device(int vendor_id, int product_id);

#endif  // VEXA_DEVICE_H
