// USB descriptors of a simulated chip: the parsed form that libusb 0.1 keeps
// in its bus list, and the raw bytes the device returns on GET_DESCRIPTOR.
#include <cstdio>
#include <cstring>

#include "sim_internal.h"

namespace vexa_sim {
namespace {

constexpr int kStringIndexManufacturer = 1;
constexpr int kStringIndexProduct = 2;
constexpr int kStringIndexSerial = 3;

void fill_device_descriptor(const Chip &chip, struct usb_device_descriptor *d) {
  std::memset(d, 0, sizeof(*d));
  d->bLength = USB_DT_DEVICE_SIZE;
  d->bDescriptorType = USB_DT_DEVICE;
  d->bcdUSB = chip.max_packet >= 512 ? 0x0200 : 0x0110;
  d->bMaxPacketSize0 = chip.max_packet >= 512 ? 64 : 8;
  d->idVendor = chip.vid;
  d->idProduct = chip.pid;
  d->bcdDevice = chip.bcd;
  d->iManufacturer = chip.manufacturer ? kStringIndexManufacturer : 0;
  d->iProduct = chip.product ? kStringIndexProduct : 0;
  d->iSerialNumber = chip.serial ? kStringIndexSerial : 0;
  d->bNumConfigurations = 1;
}

// Decodes UTF-8 into UTF-16 code units, as a string descriptor carries text.
// A malformed byte stands for itself.
std::vector<uint16_t> utf16_units(const std::string &text) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned code = c;
    size_t extra = 0;
    if (c >= 0xF0) {
      code = c & 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      code = c & 0x1F;
      extra = 1;
    }
    if (extra && i + extra >= text.size()) {  // cut-off sequence
      extra = 0;
      code = c;
    }
    for (size_t k = 1; k <= extra; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (code >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(code));
    }
  }
  return units;
}

void put16(std::vector<uint8_t> &out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

}  // namespace

struct usb_device *build_device_entry(const Chip &chip, struct usb_bus *bus, unsigned devnum) {
  struct usb_device *device = new (struct usb_device)();
  std::snprintf(device->filename, sizeof(device->filename), "%03u", devnum);
  device->bus = bus;
  device->devnum = static_cast<uint8_t>(devnum);
  fill_device_descriptor(chip, &device->descriptor);

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

std::vector<uint8_t> descriptor_bytes(const Chip &chip, int type, int index) {
  std::vector<uint8_t> out;
  if (type == USB_DT_DEVICE && index == 0) {
    usb_device_descriptor d;
    fill_device_descriptor(chip, &d);
    out.push_back(d.bLength);
    out.push_back(d.bDescriptorType);
    put16(out, d.bcdUSB);
    out.push_back(d.bDeviceClass);
    out.push_back(d.bDeviceSubClass);
    out.push_back(d.bDeviceProtocol);
    out.push_back(d.bMaxPacketSize0);
    put16(out, d.idVendor);
    put16(out, d.idProduct);
    put16(out, d.bcdDevice);
    out.push_back(d.iManufacturer);
    out.push_back(d.iProduct);
    out.push_back(d.iSerialNumber);
    out.push_back(d.bNumConfigurations);
  } else if (type == USB_DT_CONFIG && index == 0) {
    unsigned total = USB_DT_CONFIG_SIZE + chip.interfaces * (USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE);
    out = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG};
    put16(out, total);
    out.insert(out.end(), {static_cast<uint8_t>(chip.interfaces), 1, 0, 0x80, 45});
    for (int k = 0; k < chip.interfaces; ++k) {
      out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, static_cast<uint8_t>(k), 0, 2, 0xFF,
                             0xFF, 0xFF, static_cast<uint8_t>(chip.product ? kStringIndexProduct : 0)});
      for (int e = 0; e < 2; ++e) {
        out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT,
                               static_cast<uint8_t>(e == 0 ? 0x81 + 2 * k : 0x02 + 2 * k),
                               USB_ENDPOINT_TYPE_BULK});
        put16(out, static_cast<unsigned>(chip.max_packet));
        out.push_back(0);
      }
    }
  } else if (type == USB_DT_STRING) {
    const std::optional<std::string> *text = nullptr;
    if (index == 0) {
      out = {4, USB_DT_STRING, 0x09, 0x04};  // language table: US English only
      return out;
    }
    if (index == kStringIndexManufacturer) text = &chip.manufacturer;
    if (index == kStringIndexProduct) text = &chip.product;
    if (index == kStringIndexSerial) text = &chip.serial;
    if (!text || !*text) return out;
    std::vector<uint16_t> units = utf16_units(**text);
    if (units.size() > 126) units.resize(126);  // bLength is one byte
    out.push_back(static_cast<uint8_t>(2 + 2 * units.size()));
    out.push_back(USB_DT_STRING);
    for (uint16_t unit : units) put16(out, unit);
  }
  return out;
}

}  // namespace vexa_sim
