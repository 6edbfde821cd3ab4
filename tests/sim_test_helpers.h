// Helpers for the simulator's self-tests: they talk to it through the
// libusb 0.1 API only, as the library does.
#ifndef VEXA_SIM_TEST_HELPERS_H
#define VEXA_SIM_TEST_HELPERS_H

#include <usb.h>

#include <memory>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace simtest {

struct HandleCloser {
  void operator()(usb_dev_handle *handle) const { usb_close(handle); }
};
using UsbHandle = std::unique_ptr<usb_dev_handle, HandleCloser>;

inline vexa_sim_chip_config Chip(int interfaces = 1, int packet = 64, int eeprom_words = 64,
                                 const char *serial = "S1", const char *product = "Bridge") {
  vexa_sim_chip_config config = {};
  config.interfaces = interfaces;
  config.max_packet_size = packet;
  config.eeprom_words = eeprom_words;
  config.serial = serial;
  config.product = product;
  return config;
}

inline std::vector<struct usb_device *> Devices() {
  std::vector<struct usb_device *> devices;
  for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
    for (struct usb_device *device = bus->devices; device; device = device->next) devices.push_back(device);
  return devices;
}

// Rescans the bus and lists what is on it.
inline std::vector<struct usb_device *> Rescan() {
  usb_find_busses();
  usb_find_devices();
  return Devices();
}

// Scans and opens the n-th device on the bus.
inline UsbHandle OpenNth(size_t n) {
  auto devices = Rescan();
  return UsbHandle(n < devices.size() ? usb_open(devices[n]) : nullptr);
}

}  // namespace simtest

#endif  // VEXA_SIM_TEST_HELPERS_H
