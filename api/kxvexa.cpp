// Opening and closing a channel: the scan that finds it by index or by name,
// the claim of its interface, the record's defaults, and the teardown.
#include <cstring>
#include <new>

#include "bulk_in.h"
#include "chip_revisions.h"
#include "debug_log.h"
#include "discovery.h"
#include "event_fd.h"
#include "usb_control.h"

namespace {

constexpr uint32_t kRingSize = 65536;
constexpr uint32_t kTransferSize = 4096;
constexpr uint32_t kTransferTimeoutMs = 5000;
constexpr int kStringBufferSize = 256;

struct ChannelEndpoints {
  uint8_t port_index;
  uint32_t out_endpoint;
  uint32_t in_endpoint;
};
constexpr ChannelEndpoints kChannels[kChannelsWithEndpoints] = {{1, 0x02, 0x81}, {2, 0x04, 0x83}};

// wMaxPacketSize of the first endpoint of interface 0, or 0 when the
// descriptors do not have one.
uint32_t first_packet_size(const struct usb_device *device) {
  if (!device->config || device->config[0].bNumInterfaces == 0) return 0;
  const struct usb_interface &interface = device->config[0].interface[0];
  if (interface.num_altsetting < 1 || interface.altsetting[0].bNumEndpoints < 1) return 0;
  return interface.altsetting[0].endpoint[0].wMaxPacketSize;
}

// Releases what a failed or finished open holds, in reverse order of taking it.
void release_record(norvec_device *record) {
  StopReaderThread(record);
  EventFdRelease(record);
  if (record->usb_handle) {
    usb_release_interface(record->usb_handle, static_cast<int>(record->interface));
    usb_close(record->usb_handle);
    record->usb_handle = nullptr;
  }
  delete[] record->rx_buffer;
  delete record;
}

// The name's device string: serial number or description, by the flags.
// Returns the string index to read, 0 when the device has none, -1 for no string bit.
int name_string_index(const struct usb_device *device, uint32_t flags) {
  if (flags & KX_MATCH_SERIAL) return device->descriptor.iSerialNumber;
  if (flags & KX_MATCH_DESCRIPTION) return device->descriptor.iProduct;
  return -1;
}

// Claims the interface. When the claim fails because a kernel driver (the
// system's generic serial support, usually) holds the interface, that driver
// is detached from this one interface and the claim is tried once more. An
// interface held through usbfs belongs to another program or another handle
// of ours and is never taken from it. libusb 0.1 cannot re-attach a driver:
// the kernel's tty for this channel is gone until the chip is plugged again.
int claim_channel(usb_dev_handle *handle, int interface) {
  int result = usb_claim_interface(handle, interface);
  VEXA_DEBUG_LOG("claim interface %d -> %d", interface, result);
  if (result >= 0) return result;
  char driver[64] = {};
  if (usb_get_driver_np(handle, interface, driver, sizeof driver - 1) < 0) return result;
  if (driver[0] == '\0' || std::strcmp(driver, "usbfs") == 0) return result;
  if (usb_detach_kernel_driver_np(handle, interface) < 0) return result;
  return usb_claim_interface(handle, interface);
}

}  // namespace

int GetDeviceInterface(const char *name, const char *device_string) {
  size_t length = std::strlen(name);
  if (length <= std::strlen(device_string)) return 0;
  switch (name[length - 1]) {
    case 'a':
    case 'A':
      return 0;
    case 'b':
    case 'B':
      return 1;
    default:
      return -1;
  }
}

int DeviceIsValid(norvec_device *record, int *counter, int index) {
  // Numbered by revision, not by interfaces: see IndexedChannels.
  const int first = *counter;
  *counter += static_cast<int>(IndexedChannels(record->usb_device->descriptor));
  return index >= first && index < *counter ? index - first : -1;
}

int SetDeviceContext(norvec_device *record, usb_dev_handle *handle, int interface) {
  record->usb_handle = handle;
  record->usb_device = dev;
  // Keep what later calls need from the bus-list entry: a rescan frees the
  // entry of an unplugged device while this handle may still be open.
  record->descriptor = dev->descriptor;
  record->max_packet_size = first_packet_size(dev);
  record->read_timeout = 0;
  record->write_timeout = 0;
  record->interface = static_cast<uint32_t>(interface);
  record->port_index = kChannels[interface].port_index;
  record->out_endpoint = kChannels[interface].out_endpoint;
  record->in_endpoint = kChannels[interface].in_endpoint;
  return interface;
}

void InitDeviceStructure(norvec_device *record) {
  GetModemStatus(record);
  // max_packet_size was taken from the descriptor before the claim, which refuses sizes of 2 or less.
  record->stop_reader = 0;
  record->reader_started = false;
  record->in_task_stopped = 0;
  record->in_buffer_size = kRingSize;
  record->in_transfer_size = kTransferSize;
  {
    // No reader thread runs yet; the lock only satisfies the analysis.
    MutexGuard hold(record->rx_lock);
    record->rx_capacity = kRingSize - 2 * (kRingSize / record->max_packet_size);
    record->rx_write_pos = 0;
    record->rx_read_pos = 0;
    record->rx_free = record->rx_capacity;
    record->read_event = nullptr;
  }
  record->transfer_timeout = kTransferTimeoutMs;
  unsigned char latency = record->latency_timer;
  if (GetLatencyTimer(record, &latency) == 0) record->latency_timer = latency;
  record->device_type = get_device_type(record->descriptor);
}

// Finds the wanted channel (by name when index is -1), opens the device and
// claims the channel's interface into the record.
KX_STATUS get_device(const char *name, uint32_t flags, norvec_device *record, int index) {
  if (!usb_get_busses() && initialise_usb() != KX_OK) return KX_ERR_OTHER;
  int counter = 0;
  for (bus = usb_get_busses(); bus; bus = bus->next) {
    for (dev = bus->devices; dev; dev = dev->next) {
      if (!check_device(dev->descriptor.idVendor, dev->descriptor.idProduct)) continue;
      usb_dev_handle *handle = usb_open(dev);
      VEXA_DEBUG_LOG("open %04x:%04x -> %s", dev->descriptor.idVendor, dev->descriptor.idProduct,
                     handle ? "ok" : "failed");
      if (!handle) return KX_ERR_NOT_OPENED;
      int interface;
      if (index == -1) {
        int string_index = name_string_index(dev, flags);
        if (string_index < 0) {
          usb_close(handle);
          return KX_ERR_PARAMETER;
        }
        // A device without that string, or whose string cannot be read, does
        // not match: the search goes on.
        char device_string[kStringBufferSize] = {};
        int length = string_index
                         ? usb_get_string_simple(handle, string_index, device_string,
                                                 sizeof device_string)
                         : 0;
        if (length <= 0 || std::strncmp(name, device_string, std::strlen(device_string)) != 0) {
          usb_close(handle);
          continue;
        }
        interface = GetDeviceInterface(name, device_string);
        if (interface < 0) {
          usb_close(handle);
          return KX_ERR_NOT_OPENED;
        }
      } else {
        record->usb_device = dev;
        interface = DeviceIsValid(record, &counter, index);
        if (interface < 0) {
          usb_close(handle);
          continue;
        }
      }
      SetDeviceContext(record, handle, interface);
      // A packet of two bytes or less carries no payload: such a device
      // cannot stream, and the ring arithmetic would divide by zero.
      if (record->max_packet_size <= 2 || claim_channel(handle, interface) < 0) {
        usb_close(handle);
        record->usb_handle = nullptr;
        return KX_ERR_NOT_OPENED;
      }
      return KX_OK;
    }
  }
  return KX_ERR_NOT_FOUND;
}

namespace {

// The open sequence shared by KX_Open and KX_OpenEx.
KX_STATUS open_channel(const char *name, uint32_t flags, int index, KX_HANDLE *handle) {
  if (!handle) return KX_ERR_PARAMETER;
  norvec_device *record = new (std::nothrow) norvec_device();
  if (!record) return KX_ERR_RESOURCES;
  *handle = record;
  KX_STATUS status = get_device(name, flags, record, index);
  if (status != KX_OK) {
    release_record(record);
    *handle = nullptr;
    return status;
  }
  record->rx_buffer = new (std::nothrow) uint8_t[kRingSize];
  if (!record->rx_buffer) {
    release_record(record);
    *handle = nullptr;
    return KX_ERR_RESOURCES;
  }
  InitDeviceStructure(record);
  // A handle without its reader thread would never receive: refuse it.
  if (StartReaderThread(record) != 0) {
    release_record(record);
    *handle = nullptr;
    return KX_ERR_RESOURCES;
  }
  return KX_OK;
}

}  // namespace

extern "C" {

KX_API KX_STATUS KX_OpenEx(const char *name, uint32_t flags, KX_HANDLE *handle) {
  if (!name) {
    if (handle) *handle = nullptr;
    return KX_ERR_PARAMETER;
  }
  return open_channel(name, flags, -1, handle);
}

KX_API KX_STATUS KX_Open(int index, KX_HANDLE *handle) {
  return open_channel(nullptr, 0, index, handle);
}

KX_API KX_STATUS KX_Close(KX_HANDLE handle) {
  norvec_device *record = as_device(handle);
  if (!record) return KX_ERR_PARAMETER;
  release_record(record);
  return KX_OK;
}

}  // extern "C"
