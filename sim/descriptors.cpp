// USB descriptors of a simulated chip: the raw bytes the device returns on
// GET_DESCRIPTOR (and usbfs from read()).
#include <cstring>

#include "sim_model.h"

namespace vexa_sim {
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
  d->bNumConfigurations = chip.no_configuration ? 0 : 1;
}

namespace {

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
