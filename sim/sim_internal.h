// The simulated libusb 0.1: handles and the bus list over the chip model.
#ifndef VEXA_SIM_INTERNAL_H
#define VEXA_SIM_INTERNAL_H

#include "sim_model.h"


namespace vexa_sim {

// libusb moves at most this much in one URB; longer transfers are split.
constexpr int kMaxUrbBytes = 16384;

// What usb_open hands out. `stale` marks a handle opened on a device that was
// already unplugged: every call on it fails with -EBADF, as libusb's open of a
// vanished device node leaves it with no file descriptor.
struct Handle {
  std::shared_ptr<Chip> chip;
  struct usb_device *device = nullptr;
  bool stale = false;
};

struct usb_device *build_device_entry(const Chip &chip, struct usb_bus *bus, unsigned devnum);
void free_device_entry(struct usb_device *device);

// Checks a handle for use; returns 0 or the errno-style failure. Caller holds the mutex.
int check_handle(const Handle *handle);
void free_bus();
// Passes a call's result through, remembering a failure for usb_strerror.
int remember_result(int result);

}  // namespace vexa_sim

// libusb 0.1 keeps the handle type opaque; this is ours.
struct usb_dev_handle : vexa_sim::Handle {};

#endif  // VEXA_SIM_INTERNAL_H
