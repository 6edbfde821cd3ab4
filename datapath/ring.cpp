#include "ring.h"

#include <cstring>

#include "event_fd.h"

uint32_t RingQueuedLocked(const norvec_device *device) {
  return device->rx_capacity - device->rx_free;
}

void RingAppendLocked(norvec_device *device, const uint8_t *data, uint32_t n) {
  uint32_t pos = device->rx_write_pos;
  const uint32_t capacity = device->rx_capacity;
  if (device->rx_free == capacity && n != 0) EventFdRingFilledLocked(device);
  device->rx_free -= n;
  if (pos + n >= capacity) {
    // The payload reaches the end of the ring: fill it to the end, go on at 0.
    const uint32_t tail = capacity - pos;
    std::memcpy(device->rx_buffer + pos, data, tail);
    data += tail;
    n -= tail;
    pos = 0;
  }
  std::memcpy(device->rx_buffer + pos, data, n);
  device->rx_write_pos = pos + n;
}

RingWriter RingWriterLocked(norvec_device *device) {
  return RingWriter{device->rx_buffer, device->rx_capacity, device->rx_write_pos, 0};
}

void RingWriter::Put(const uint8_t *data, uint32_t n) {
  written += n;
  if (pos + n >= capacity) {
    const uint32_t tail = capacity - pos;
    std::memcpy(ring + pos, data, tail);
    data += tail;
    n -= tail;
    pos = 0;
  }
  std::memcpy(ring + pos, data, n);
  pos += n;
}

void RingCommitLocked(norvec_device *device, const RingWriter &writer) {
  if (writer.written == 0) return;
  if (device->rx_free == device->rx_capacity) EventFdRingFilledLocked(device);
  device->rx_free -= writer.written;
  device->rx_write_pos = writer.pos;
}

void RingTakeLocked(norvec_device *device, uint8_t *dest, uint32_t n) {
  uint32_t pos = device->rx_read_pos;
  const uint32_t capacity = device->rx_capacity;
  const uint32_t total = n;
  if (pos + n >= capacity) {
    const uint32_t tail = capacity - pos;
    std::memcpy(dest, device->rx_buffer + pos, tail);
    dest += tail;
    n -= tail;
    pos = 0;
  }
  std::memcpy(dest, device->rx_buffer + pos, n);
  device->rx_read_pos = pos + n;
  device->rx_free += total;
  if (device->rx_free == capacity) {
    device->event_status.fetch_and(~KX_EVENT_RX_DATA);
    EventFdRingEmptiedLocked(device);
  }
  // Waking the reader for less room than it waits for would only send it back
  // to sleep; an application reading in small pieces would wake it each time.
  if (device->rx_room_wanted != 0 && device->rx_free >= device->rx_room_wanted)
    device->rx_space.Signal();
}

void RingResetLocked(norvec_device *device) {
  device->rx_read_pos = 0;
  device->rx_write_pos = 0;
  device->rx_free = device->rx_capacity;
  EventFdRingEmptiedLocked(device);
  device->rx_space.Signal();
}
