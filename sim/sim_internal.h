// Internal state of the simulated chip, shared by the files of sim/.
//
// One mutex (Sim::mutex) guards everything below. Each chip has a condition
// variable on which bulk reads, paced transfers and vexa_sim_wait_tx wait; it
// is notified whenever something a waiter may care about changes (data queued
// or written, unplug, reset, mode switches). Nothing sleeps while holding the
// mutex except through a condition wait, which releases it.
#ifndef VEXA_SIM_INTERNAL_H
#define VEXA_SIM_INTERNAL_H

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

#include "vexa_sim.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace vexa_sim {

using Clock = std::chrono::steady_clock;

struct Chip;

// What usb_open hands out. `stale` marks a handle opened on a device that was
// already unplugged: every call on it fails with -EBADF, as libusb's open of a
// vanished device node leaves it with no file descriptor.
struct Handle {
  std::shared_ptr<Chip> chip;
  struct usb_device *device = nullptr;
  bool stale = false;
};

struct Channel {
  std::deque<uint8_t> rx;  // payload waiting to go out on bulk IN
  std::deque<uint8_t> tx;  // bytes the host wrote on bulk OUT, not yet taken
  vexa_sim_channel_state state{};
  bool loopback = false;
  bool silent = false;
  bool stalled = false;
  int pacing = 0;       // 0 none, 1 full speed, 2 high speed
  int write_limit = 0;  // 0 = unlimited
  Handle *claimed_by = nullptr;
  // Pacing: the (micro)frame currently being filled and how many packets it holds.
  int64_t frame = -1;
  int frame_packets = 0;
};

struct Chip {
  int id = 0;
  uint16_t vid = 0, pid = 0, bcd = 0;
  std::optional<std::string> serial, product, manufacturer;
  int interfaces = 1;
  int max_packet = 64;
  std::vector<uint16_t> eeprom;  // empty: no EEPROM fitted
  bool eeprom_no_wrap = false;
  bool unplugged = false;
  struct usb_device *device = nullptr;  // entry in the bus list, null until scanned
  std::vector<Channel> channels;
  std::condition_variable changed;
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
struct usb_device *build_device_entry(const Chip &chip, struct usb_bus *bus, unsigned devnum);
void free_device_entry(struct usb_device *device);
// Raw descriptor bytes as the device returns them; empty when it has none.
std::vector<uint8_t> descriptor_bytes(const Chip &chip, int type, int index);

// ---- faults (faults.cpp) ----
// Whether a fault of this kind fires for this call; sets *result. Caller holds the mutex.
bool fault_fires(int kind, int chip, int channel, int request, int *result);

// ---- log (log.cpp) ----
void log_control(int chip, int type, int request, int value, int index, int length, int result);
void log_bulk(int kind, int chip, int endpoint, int size, int result);

// ---- handles (bus.cpp) ----
// Checks a handle for use; returns 0 or the errno-style failure. Caller holds the mutex.
int check_handle(const Handle *handle);
void release_claims(Handle *handle);
void free_bus();
// Passes a call's result through, remembering a failure for usb_strerror.
int remember_result(int result);

// ---- text descriptions (text_config.cpp) ----
int add_chips_from_text(const char *text);

}  // namespace vexa_sim

// libusb 0.1 keeps the handle type opaque; this is ours.
struct usb_dev_handle : vexa_sim::Handle {};

#endif  // VEXA_SIM_INTERNAL_H
