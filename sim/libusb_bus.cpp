// The bus list, opening and closing devices, and interface claims, with the
// results libusb 0.1 gives for them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pty_bridge.h"
#include "sim_internal.h"

// The bus list libusb 0.1 exports; null until the first scan. usb.h declares
// it outside its extern "C" block; a global variable's name is not mangled.
struct usb_bus *usb_busses = nullptr;

namespace vexa_sim {
namespace {

thread_local int last_error = 0;
thread_local char error_text[96];

void unlink_device(struct usb_bus *bus, struct usb_device *device) {
  if (device->prev) device->prev->next = device->next;
  else bus->devices = device->next;
  if (device->next) device->next->prev = device->prev;
}

void append_device(struct usb_bus *bus, struct usb_device *device) {
  struct usb_device **slot = &bus->devices;
  struct usb_device *prev = nullptr;
  while (*slot) {
    prev = *slot;
    slot = &(*slot)->next;
  }
  device->prev = prev;
  device->next = nullptr;
  *slot = device;
}

}  // namespace

int remember_result(int result) {
  if (result < 0) last_error = -result;
  return result;
}

int check_handle(const Handle *handle) {
  if (!handle) return -EINVAL;
  if (handle->stale) return -EBADF;
  if (handle->chip->unplugged) return -ENODEV;
  return 0;
}

void free_bus() {
  Sim &s = sim();
  if (s.bus) {
    struct usb_device *device = s.bus->devices;
    while (device) {
      struct usb_device *next = device->next;
      free_device_entry(device);
      device = next;
    }
    delete s.bus;
  }
  for (auto &chip : s.chips) chip->device = nullptr;
  s.bus = nullptr;
  usb_busses = nullptr;
}

}  // namespace vexa_sim

using namespace vexa_sim;

namespace {
// The bus list is this transport's own state: the model's reset clears it.
const bool reset_hook_installed = [] {
  sim().on_reset = free_bus;
  return true;
}();
}  // namespace

SIM_EXPORT void usb_init(void) {
  static std::once_flag bridge_once;
  bool start_bridge = false;
  {
    std::lock_guard<std::mutex> lock(sim().mutex);
    if (!sim().initialised) {
      sim().initialised = true;
      const char *chips = std::getenv("VEXA_SIM_CHIPS");
      std::string why;
      if (chips && !sim().chips_added && add_chips_from_text(chips, &why) < 0)
        std::fprintf(stderr, "vexa-sim: VEXA_SIM_CHIPS: %s\n", why.c_str());
      start_bridge = std::getenv("VEXA_SIM_PTY") != nullptr;
    }
  }
  // The bridge drives chips through the control interface, so it starts
  // after the lock is released.
  if (start_bridge) std::call_once(bridge_once, vexa_sim_pty_bridge_start);
}

namespace {
// With the pty bridge asked for, the ptys (and their links) exist as soon as
// the program starts, not only once it first touches the bus: a terminal
// program or script started beside it can open them right away.
const bool bridge_at_load = [] {
  if (std::getenv("VEXA_SIM_PTY")) usb_init();
  return true;
}();
}  // namespace

SIM_EXPORT void usb_set_debug(int) {}

SIM_EXPORT int usb_find_busses(void) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = 0;
  if (fault_fires(VEXA_SIM_FAULT_FIND_BUSSES, -1, -1, -1, &result)) return remember_result(result);
  if (sim().bus) return 0;
  auto *bus = new usb_bus();
  std::snprintf(bus->dirname, sizeof(bus->dirname), "001");
  bus->location = 1;
  sim().bus = bus;
  usb_busses = bus;
  return 1;
}

SIM_EXPORT int usb_find_devices(void) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  Sim &s = sim();
  int result = 0;
  if (fault_fires(VEXA_SIM_FAULT_FIND_DEVICES, -1, -1, -1, &result)) return remember_result(result);
  if (!s.bus) return 0;  // no bus found yet: nothing to scan
  int changes = 0;
  for (auto &chip : s.chips) {
    if (chip->device && chip->unplugged) {
      unlink_device(s.bus, chip->device);
      free_device_entry(chip->device);
      chip->device = nullptr;
      ++changes;
    }
  }
  for (auto &chip : s.chips) {
    if (!chip->device && !chip->unplugged) {
      chip->device = build_device_entry(*chip, s.bus, s.next_devnum++);
      append_device(s.bus, chip->device);
      ++changes;
    }
  }
  return changes;
}

SIM_EXPORT struct usb_bus *usb_get_busses(void) { return usb_busses; }

SIM_EXPORT struct usb_device *usb_device(usb_dev_handle *handle) {
  return handle ? handle->device : nullptr;
}

SIM_EXPORT usb_dev_handle *usb_open(struct usb_device *device) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  if (!device) return nullptr;
  for (auto &chip : sim().chips) {
    if (chip->device != device) continue;
    int result = 0;
    if (fault_fires(VEXA_SIM_FAULT_OPEN, chip->id, -1, -1, &result)) {
      remember_result(result < 0 ? result : -EIO);
      return nullptr;
    }
    auto *handle = new usb_dev_handle();
    handle->chip = chip;
    handle->device = device;
    // libusb opens the device node lazily and keeps a handle without a file
    // descriptor when the node is gone.
    handle->stale = chip->unplugged;
    ++sim().open_handles;
    return handle;
  }
  remember_result(-ENODEV);
  return nullptr;
}

SIM_EXPORT int usb_close(usb_dev_handle *handle) {
  if (!handle) return 0;
  // What the program wrote before closing reaches its pty first.
  vexa_sim_pty_bridge_drain(handle->chip->id);
  {
    std::lock_guard<std::mutex> lock(sim().mutex);
    release_claims(*handle->chip, handle);
    --sim().open_handles;
  }
  delete handle;
  return 0;
}

SIM_EXPORT int usb_claim_interface(usb_dev_handle *handle, int interface) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  Chip &chip = *handle->chip;
  if (fault_fires(VEXA_SIM_FAULT_CLAIM, chip.id, interface, -1, &result)) return remember_result(result);
  return remember_result(claim_interface(chip, interface, handle));
}

SIM_EXPORT int usb_release_interface(usb_dev_handle *handle, int interface) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  return remember_result(release_interface(*handle->chip, interface, handle));
}

SIM_EXPORT int usb_set_configuration(usb_dev_handle *handle, int configuration) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  return configuration == 1 ? 0 : remember_result(-EINVAL);
}

SIM_EXPORT int usb_set_altinterface(usb_dev_handle *handle, int alternate) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  return alternate == 0 ? 0 : remember_result(-EINVAL);
}

namespace {
int endpoint_call(usb_dev_handle *handle, unsigned endpoint) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  unsigned number = endpoint & 0x0F;
  if (number == 0 || number > 2u * handle->chip->interfaces) return remember_result(-ENOENT);
  return 0;
}
}  // namespace

SIM_EXPORT int usb_clear_halt(usb_dev_handle *handle, unsigned int endpoint) {
  return endpoint_call(handle, endpoint);
}

SIM_EXPORT int usb_resetep(usb_dev_handle *handle, unsigned int endpoint) {
  return endpoint_call(handle, endpoint);
}

SIM_EXPORT int usb_reset(usb_dev_handle *handle) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  return remember_result(check_handle(handle));
}

SIM_EXPORT int usb_get_driver_np(usb_dev_handle *handle, int interface, char *name, unsigned int namelen) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  std::string driver;
  result = interface_driver(*handle->chip, interface, &driver);
  if (result) return remember_result(result);
  // As libusb 0.1: the name is cut to fit, without a guaranteed terminator.
  if (name && namelen) std::strncpy(name, driver.c_str(), namelen);
  return 0;
}

SIM_EXPORT int usb_detach_kernel_driver_np(usb_dev_handle *handle, int interface) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  int result = check_handle(handle);
  if (result) return remember_result(result);
  if (fault_fires(VEXA_SIM_FAULT_DETACH, handle->chip->id, interface, -1, &result))
    return remember_result(result);
  return remember_result(detach_kernel_driver(*handle->chip, interface));
}

SIM_EXPORT int usb_interrupt_write(usb_dev_handle *, int, const char *, int, int) {
  return remember_result(-EINVAL);  // the chips have no interrupt endpoints
}

SIM_EXPORT int usb_interrupt_read(usb_dev_handle *, int, char *, int, int) {
  return remember_result(-EINVAL);
}

SIM_EXPORT char *usb_strerror(void) {
  if (!last_error) {
    std::snprintf(error_text, sizeof(error_text), "no error");
  } else {
    char scratch[64];
    // GNU strerror_r returns the text, not always in scratch.
    const char *text = strerror_r(last_error, scratch, sizeof(scratch));
    std::snprintf(error_text, sizeof(error_text), "error %d: %s", last_error, text);
  }
  return error_text;
}
