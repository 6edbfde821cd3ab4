// Bus scan and device listing: counting the channels of accepted devices and
// reading their serial-number or description strings.
#include <cstdio>

#include "chip_revisions.h"
#include "debug_log.h"
#include "discovery.h"

struct usb_bus *bus = nullptr;
struct usb_device *dev = nullptr;

namespace {

// Letter of channel k of a multi-interface device.
constexpr char kChannelLetters[] = {'A', 'B', 'C', 'D'};
constexpr uint32_t kNoLetter = 0xFFFFFFFF;
constexpr int kStringBufferSize = 256;

bool accepted(const struct usb_device *device) {
  return check_device(device->descriptor.idVendor, device->descriptor.idProduct) != 0;
}

}  // namespace

KX_STATUS initialise_usb() {
  usb_init();
  if (usb_find_busses() < 0) return KX_ERR_OTHER;
  if (usb_find_devices() < 0) return KX_ERR_OTHER;
  return KX_OK;
}

uint32_t get_device_count() {
  uint32_t count = 0;
  for (bus = usb_get_busses(); bus; bus = bus->next)
    for (dev = bus->devices; dev; dev = dev->next)
      if (accepted(dev)) count += ListedChannels(dev);
  return count;
}

KX_STATUS add_char_to_description(uint32_t channel, char *destination, uint32_t flags) {
  if (channel > 3 && channel != kNoLetter) return KX_ERR_OTHER;
  usb_dev_handle *handle = usb_open(dev);
  if (!handle) return KX_ERR_NOT_FOUND;
  int index;
  if (flags & KX_MATCH_SERIAL) {
    index = dev->descriptor.iSerialNumber;
  } else if (flags & KX_MATCH_DESCRIPTION) {
    index = dev->descriptor.iProduct;
  } else {
    usb_close(handle);
    return KX_ERR_PARAMETER;
  }
  // String index 0 means the device has no such string; asking for it would
  // return the language table instead.
  char text[kStringBufferSize] = {};
  int length = index ? usb_get_string_simple(handle, index, text, sizeof text) : 0;
  VEXA_DEBUG_LOG("string descriptor %d of %04x:%04x -> %d", index, dev->descriptor.idVendor,
                 dev->descriptor.idProduct, length);
  usb_close(handle);
  if (length <= 0) return KX_ERR_OTHER;
  // 255 characters, a blank, a letter and the NUL: 258 bytes at most.
  if (channel == kNoLetter)
    std::snprintf(destination, kStringBufferSize + 2, "%s", text);
  else
    std::snprintf(destination, kStringBufferSize + 2, "%s %c", text, kChannelLetters[channel]);
  return KX_OK;
}

KX_STATUS get_device_list_by_index(uint32_t index, char *destination, uint32_t flags) {
  uint32_t first = 0;
  for (bus = usb_get_busses(); bus; bus = bus->next) {
    for (dev = bus->devices; dev; dev = dev->next) {
      if (!accepted(dev)) continue;
      uint32_t n = ListedChannels(dev);
      if (index < first + n) {
        if (n > 1) return add_char_to_description(index - first, destination, flags);
        if (index == first) return add_char_to_description(kNoLetter, destination, flags);
      }
      first += n;
    }
  }
  return KX_ERR_NOT_FOUND;
}

KX_STATUS get_device_list_all(char **destinations, uint32_t *count, uint32_t flags) {
  *count = 0;
  uint32_t written = 0;
  char **slot = destinations;
  for (bus = usb_get_busses(); bus; bus = bus->next) {
    for (dev = bus->devices; dev; dev = dev->next) {
      if (!accepted(dev)) continue;
      uint32_t n = ListedChannels(dev);
      for (uint32_t k = 0; k < n; ++k) {
        // A null entry ends the filling; the scan still runs to its end.
        if (*slot == nullptr) continue;
        KX_STATUS status = add_char_to_description(n >= 2 ? k : kNoLetter, *slot, flags);
        if (status != KX_OK) return status;
        ++slot;
        ++written;
      }
    }
  }
  *count = written;
  return KX_OK;
}

KX_STATUS check_list_flags(uint32_t flags) {
  if ((flags & KX_LIST_COUNT) && flags != KX_LIST_COUNT) return KX_ERR_PARAMETER;
  return KX_OK;
}

extern "C" KX_API KX_STATUS KX_ListDevices(void *arg1, void *arg2, uint32_t flags) {
  KX_STATUS status = check_list_flags(flags);
  if (status != KX_OK) return status;
  status = initialise_usb();
  if (status != KX_OK) return status;
  if (flags == KX_LIST_COUNT) {
    if (!arg1) return KX_ERR_PARAMETER;
    *static_cast<uint32_t *>(arg1) = get_device_count();
    return KX_OK;
  }
  if (!arg1 && !arg2) return KX_ERR_PARAMETER;
  // Each mode needs the pointers it writes through (an index of 0 travels as
  // a null first argument, so that one is not tested for the indexed mode).
  if ((flags & KX_LIST_INDEXED) && !arg2) return KX_ERR_PARAMETER;
  if ((flags & KX_LIST_EVERY) && (!arg1 || !arg2)) return KX_ERR_PARAMETER;
  status = KX_OK;
  if (flags & KX_LIST_INDEXED)
    status = get_device_list_by_index(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1)),
                                      static_cast<char *>(arg2), flags);
  if (flags & KX_LIST_EVERY)
    status = get_device_list_all(static_cast<char **>(arg1), static_cast<uint32_t *>(arg2), flags);
  return status;
}
