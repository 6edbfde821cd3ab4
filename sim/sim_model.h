// The chip model: chips, vendor requests, EEPROM, bulk packets, faults and
// the log, with no libusb symbol of its own. Two transports drive it: the
// simulated libusb (sim_internal.h) and, in the integration tests, an
// emulated usbfs behind the real libusb.
//
// One mutex (Sim::mutex) guards everything below. Each chip has two condition
// variables: `changed`, on which bulk IN transfers wait, notified whenever
// something such a transfer may care about changes (receive data queued,
// unplug, reset, mode switches); and `tx_written`, on which vexa_sim_wait_tx
// waits, notified by bulk OUT, unplug and reset. Keeping them apart matters:
// a host that streams bulk OUT must not wake its own reader thread, parked in
// a bulk IN transfer, on every chunk. Nothing sleeps while holding the mutex
// except through a condition wait, which releases it.
#ifndef VEXA_SIM_MODEL_H
#define VEXA_SIM_MODEL_H

#include <limits.h>
#include <usb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "byte_fifo.h"
#include "vexa_sim.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace vexa_sim {

using Clock = std::chrono::steady_clock;

struct Channel {
  ByteFifo rx;  // payload waiting to go out on bulk IN
  ByteFifo tx;  // bytes the host wrote on bulk OUT, not yet taken
  vexa_sim_channel_state state{};
  bool loopback = false;
  bool silent = false;
  bool stalled = false;
  int pacing = 0;       // 0 none, 1 full speed, 2 high speed
  int write_limit = 0;  // 0 = unlimited
  // Who holds the interface: a libusb handle or a usbfs file descriptor,
  // compared only for identity.
  const void *claimed_by = nullptr;
  // Name of the kernel driver bound to the interface; empty when none.
  std::string kernel_driver;
  // Pacing: the bus slot of the next packet. Slot s lies in (micro)frame
  // s / packets-per-frame; a packet may go out once its frame has begun.
  int64_t slot = 0;
};

struct Chip {
  int id = 0;
  uint16_t vid = 0, pid = 0, bcd = 0;
  std::optional<std::string> serial, product, manufacturer;
  int interfaces = 1;
  int max_packet = 64;
  std::vector<uint16_t> eeprom;  // empty: no EEPROM fitted
  std::string eeprom_file;       // where the EEPROM persists; empty: nowhere
  bool eeprom_no_wrap = false;
  bool no_configuration = false;
  bool unplugged = false;
  struct usb_device *device = nullptr;  // entry in the bus list, null until scanned
  std::vector<Channel> channels;
  std::condition_variable changed;     // bulk IN waiters
  std::condition_variable tx_written;  // vexa_sim_wait_tx
};

struct FaultRule {
  vexa_sim_fault rule;
  int skipped = 0;
  int fired = 0;
};

struct Sim {
  std::mutex mutex;
  std::vector<std::shared_ptr<Chip>> chips;  // indexed by id
  std::vector<FaultRule> faults;
  std::deque<vexa_sim_log_entry> log;
  bool log_bulk = true;
  int open_handles = 0;
  bool initialised = false;  // usb_init has run since start or reset
  bool chips_added = false;  // a chip came through the control API
  bool bus_scanned = false;
  struct usb_bus *bus = nullptr;
  unsigned next_devnum = 2;
  // Set by a transport that keeps state of its own (the simulated libusb's
  // bus list); called by vexa_sim_reset with the mutex held.
  void (*on_reset)() = nullptr;
  // Set by the pty bridge; called with the mutex held after a divisor (3),
  // line-control (4) or flow-control (2) request changed a channel.
  void (*on_line_settings)(const Chip &chip, int channel, int request) = nullptr;
};

Sim &sim();

// ---- chips (chip.cpp) ----
// Chip by id, or null. Caller holds the mutex.
Chip *find_chip(int id);
Channel *find_channel(int chip, int channel);
std::shared_ptr<Chip> make_chip(const vexa_sim_chip_config &config);
// Reset of the whole chip by vendor request 0, value 0.
void chip_reset(Chip &chip);
bool chip_has_timer_requests(const Chip &chip);
uint16_t eeprom_read(const Chip &chip, unsigned address);
void eeprom_write(Chip &chip, unsigned address, uint16_t word);

// ---- vendor requests (vendor_requests.cpp) ----
// Performs one control request on the chip; returns the reply length (IN),
// wLength (OUT) or a negative errno. `reply` receives at most `length` bytes.
// `channel` receives the channel the request addressed (for fault filters).
int vendor_request(Chip &chip, int request_type, int request, int value, int index,
                   uint8_t *reply, int length, int *channel);
int vendor_request_channel(const Chip &chip, int request, int index);

// ---- descriptors (descriptors.cpp) ----
constexpr int kStringIndexManufacturer = 1;
constexpr int kStringIndexProduct = 2;
constexpr int kStringIndexSerial = 3;
void fill_device_descriptor(const Chip &chip, struct usb_device_descriptor *d);
// Raw descriptor bytes as the device returns them; empty when it has none.
std::vector<uint8_t> descriptor_bytes(const Chip &chip, int type, int index);

// ---- faults (faults.cpp) ----
// Whether a fault of this kind fires for this call; sets *result. Caller holds the mutex.
bool fault_fires(int kind, int chip, int channel, int request, int *result);

// ---- log (log.cpp) ----
void log_control(int chip, int type, int request, int value, int index, int length, int result);
void log_bulk(int kind, int chip, int endpoint, int size, int result);

// ---- transfers (transfers.cpp) ----
// What either transport does on the wire. The caller holds the mutex; `owner`
// identifies the handle or file descriptor making the call.

// Interface claims as usbfs keeps them: -ENOENT for no such interface, -EBUSY
// when another owner or a kernel driver holds it.
int claim_interface(Chip &chip, int interface, const void *owner);
int release_interface(Chip &chip, int interface, const void *owner);
void release_claims(Chip &chip, const void *owner);
// The driver bound to an interface ("usbfs" while claimed); -ENODATA when none.
int interface_driver(const Chip &chip, int interface, std::string *name);
// Unbinds a kernel driver; -ENODATA when none is bound.
int detach_kernel_driver(Chip &chip, int interface);

// One transfer on the default pipe. Standard GET_DESCRIPTOR requests are
// answered from the descriptors and not logged; vendor requests reach the
// chip; anything else stalls (-EPIPE). Returns the bytes transferred.
int control_transfer(Chip &chip, const void *owner, int request_type, int request, int value,
                     int index, uint8_t *data, int length);

// The interface a bulk endpoint belongs to, after the usbfs checks: -ENOENT
// for no such endpoint, -EBUSY when another owner holds the interface.
int bulk_interface(const Chip &chip, int endpoint, bool in, const void *owner);

// One bulk IN transfer (one URB) in progress.
struct BulkIn {
  int interface = 0;
  int size = 0;  // buffer length
  int got = 0;   // bytes received so far
  std::optional<Clock::time_point> idle_until;  // when the latency timer runs out
  bool started = false;  // the first step has run (pacing counts from there)
};

// Moves the packets the chip has ready at `now` into `bytes`. Returns true
// when the transfer is over, with *result its byte count (or -ETIMEDOUT when
// `expired` and nothing ended it first); otherwise *wake is when the chip
// will next have something without any outside change (none: wait for one).
// A paced transfer is owed every (micro)frame that began while it was
// pending, however late the step runs, as a host controller keeps polling
// while the host sleeps; *wake is then the frame in which the transfer can
// end, not each frame on the way. A caller stepping at its deadline passes
// the deadline as `now`, so that only the frames begun by then count.
bool bulk_in_step(Chip &chip, BulkIn &transfer, uint8_t *bytes, Clock::time_point now, bool expired,
                  int *result, std::optional<Clock::time_point> *wake);

// One bulk OUT transfer; returns the bytes the chip accepted.
int bulk_out(Chip &chip, int interface, const uint8_t *data, int size);

// ---- text descriptions (text_config.cpp) ----
// Adds the chips, or none and -1 with *why (when not null) saying what is wrong.
int add_chips_from_text(const char *text, std::string *why = nullptr);

// ---- EEPROM image files (eeprom_file.cpp) ----
// Loads the chip's EEPROM from a raw image (words low byte first), creating
// an erased one when the file is missing; from then on every change is
// written back. False with *why when the file is unusable.
bool eeprom_attach_file(Chip &chip, const std::string &path, std::string *why);
// Writes the EEPROM back to its file, if it has one. Caller holds the mutex.
void eeprom_changed(Chip &chip);

}  // namespace vexa_sim

#endif  // VEXA_SIM_MODEL_H
