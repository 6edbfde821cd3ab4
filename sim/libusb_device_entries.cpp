// The parsed descriptors libusb 0.1 keeps in its bus list for each device.
#include <cstdio>
#include <cstring>

#include "sim_internal.h"

namespace vexa_sim {
struct usb_device *build_device_entry(const Chip &chip, struct usb_bus *bus, unsigned devnum) {
  struct usb_device *device = new (struct usb_device)();
  std::snprintf(device->filename, sizeof(device->filename), "%03u", devnum);
  device->bus = bus;
  device->devnum = static_cast<uint8_t>(devnum);
  fill_device_descriptor(chip, &device->descriptor);
  // libusb 0.1 reads no configuration of a device that reports none.
  if (chip.no_configuration) return device;

  auto *config = new usb_config_descriptor[1]();
  config->bLength = USB_DT_CONFIG_SIZE;
  config->bDescriptorType = USB_DT_CONFIG;
  config->wTotalLength = static_cast<uint16_t>(USB_DT_CONFIG_SIZE +
                                               chip.interfaces * (USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE));
  config->bNumInterfaces = static_cast<uint8_t>(chip.interfaces);
  config->bConfigurationValue = 1;
  config->bmAttributes = 0x80;
  config->MaxPower = 45;  // 90 mA
  config->interface = new usb_interface[chip.interfaces]();
  for (int k = 0; k < chip.interfaces; ++k) {
    usb_interface &iface = config->interface[k];
    iface.num_altsetting = 1;
    iface.altsetting = new usb_interface_descriptor[1]();
    usb_interface_descriptor &alt = iface.altsetting[0];
    alt.bLength = USB_DT_INTERFACE_SIZE;
    alt.bDescriptorType = USB_DT_INTERFACE;
    alt.bInterfaceNumber = static_cast<uint8_t>(k);
    alt.bNumEndpoints = 2;
    alt.bInterfaceClass = 0xFF;
    alt.bInterfaceSubClass = 0xFF;
    alt.bInterfaceProtocol = 0xFF;
    alt.iInterface = chip.product ? kStringIndexProduct : 0;
    alt.endpoint = new usb_endpoint_descriptor[2]();
    for (int e = 0; e < 2; ++e) {
      usb_endpoint_descriptor &ep = alt.endpoint[e];
      ep.bLength = USB_DT_ENDPOINT_SIZE;
      ep.bDescriptorType = USB_DT_ENDPOINT;
      ep.bEndpointAddress = static_cast<uint8_t>(e == 0 ? 0x81 + 2 * k : 0x02 + 2 * k);
      ep.bmAttributes = USB_ENDPOINT_TYPE_BULK;
      ep.wMaxPacketSize = static_cast<uint16_t>(chip.max_packet);
    }
  }
  device->config = config;
  return device;
}

void free_device_entry(struct usb_device *device) {
  if (!device) return;
  usb_config_descriptor *config = device->config;
  if (config) {
    for (int k = 0; k < config->bNumInterfaces; ++k) {
      delete[] config->interface[k].altsetting[0].endpoint;
      delete[] config->interface[k].altsetting;
    }
    delete[] config->interface;
    delete[] config;
  }
  delete device;
}

}  // namespace vexa_sim
