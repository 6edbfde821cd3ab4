// Internal: everything that sets one chip revision apart from another, kept
// in one table so that no other file tests bcdDevice. A chip tells its
// revision by bcdDevice in the device descriptor; the 0x0200 parts come in
// two kinds, told apart by whether the descriptor names a serial-number string.
#ifndef VEXA_CHIP_REVISIONS_H
#define VEXA_CHIP_REVISIONS_H

#include <cstdint>

#include "device.h"

// Whether a row applies only to parts with, or without, a serial-number string.
enum class SerialString : uint8_t { kEither, kPresent, kAbsent };

// How the set-divisor request fills its wIndex.
enum class DivisorIndex : uint8_t {
  kExtensionOnly,     // the eighth-step extension bit alone, no channel
  kExtensionAndPort,  // the extension in the high byte, the channel's port in the low byte
};

enum class EepromLayout : uint8_t { kSingleChannel, kDualChannel };

// Channels whose endpoints and port the open sequence knows (A and B).
constexpr uint32_t kChannelsWithEndpoints = 2;

struct ChipRevision {
  uint16_t bcd_device;
  SerialString serial;
  uint32_t type_code;  // KX_DEVICE_x reported for the device
  // Channels that opening by index numbers on the device; 0 for a revision
  // the library does not know, which can then be opened by name only.
  uint32_t indexed_channels;
  // Takes latency-timer and bit-mode requests and the divisor's eighth-step
  // extension (the chip generations that added all three at once).
  bool latency_and_bit_mode;
  DivisorIndex divisor_index;
  EepromLayout eeprom_layout;
};

// The row for a device descriptor; a revision not in the table gets the row
// of unknown revisions (type KX_DEVICE_OTHER, nothing optional, no index).
KX_INTERNAL const ChipRevision &ChipRevisionOf(const struct usb_device_descriptor &descriptor);

// The two ways of counting a device's channels. They differ on purpose:
// - The listing shows the bus as it is, so that an application can see every
//   accepted device and open even an unknown revision by its name: it counts
//   the interfaces of the first configuration, whatever the revision.
// - Opening by index numbers only the channels of revisions in the table,
//   whose endpoints and ports it knows; an unknown revision takes no index.
// So when an unknown revision precedes a known one, the same channel has one
// index in the listing and a lower one for KX_Open.
KX_INTERNAL uint32_t ListedChannels(const struct usb_device *device);
KX_INTERNAL uint32_t IndexedChannels(const struct usb_device_descriptor &descriptor);

#endif  // VEXA_CHIP_REVISIONS_H
