// A device record built by hand, with no USB behind it, for unit tests of
// the data path's internals.
#ifndef VEXA_HAND_MADE_DEVICE_H
#define VEXA_HAND_MADE_DEVICE_H

#include <cstdint>
#include <vector>

#include "device.h"

struct HandMadeDevice {
  norvec_device device;
  std::vector<uint8_t> storage = std::vector<uint8_t>(65536, 0);

  explicit HandMadeDevice(uint32_t packet = 64) {
    device.rx_buffer = storage.data();
    device.max_packet_size = packet;
    device.in_buffer_size = 65536;
    device.in_transfer_size = 4096;
    device.rx_capacity = 65536 - 2 * (65536 / packet);
    device.rx_free = device.rx_capacity;
  }
  HandMadeDevice(const HandMadeDevice &) = delete;
  HandMadeDevice &operator=(const HandMadeDevice &) = delete;

  // Places the ring's both positions at pos, empty.
  void EmptyAt(uint32_t pos) {
    device.rx_read_pos = pos;
    device.rx_write_pos = pos;
    device.rx_free = device.rx_capacity;
  }
  uint32_t Queued() const { return device.rx_capacity - device.rx_free; }
};

// One bulk-in packet: modem status, line status, payload.
inline std::vector<uint8_t> Packet(uint8_t modem, uint8_t line, const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> packet{modem, line};
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// n bytes counting up from first (wrapping at 256).
inline std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

#endif  // VEXA_HAND_MADE_DEVICE_H
