// Bulk-in streams of any transfer lengths, packet contents and status bytes
// against the receive ring, on a hand-made device record: the payload that
// comes out of the ring is exactly the payload that went in, in order, and
// the status fields hold what the last packet said.
#include <pthread.h>

#include <algorithm>
#include <vector>

#include "bulk_in.h"
#include "fuzz_input.h"
#include "ring.h"

namespace {

constexpr uint32_t kRingBytes = 65536;
_EVENT_HANDLE event = {PTHREAD_COND_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

// Takes up to `most` bytes out of the ring.
void Drain(norvec_device *device, std::vector<uint8_t> *out, uint32_t most) {
  MutexGuard hold(device->rx_lock);
  const uint32_t n = std::min(RingQueuedLocked(device), most);
  const size_t at = out->size();
  out->resize(at + n);
  if (n) RingTakeLocked(device, out->data() + at, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in(data, size);
  const uint32_t packets[] = {3, 8, 64, 512};
  const uint8_t shape = in.Byte();
  const uint32_t packet = shape & 0x80 ? 3 + shape % 125 : packets[shape % 4];
  std::vector<uint8_t> ring(kRingBytes);
  norvec_device device;
  device.max_packet_size = packet;
  device.rx_buffer = ring.data();
  device.rx_capacity = kRingBytes - 2 * (kRingBytes / packet);
  device.rx_free = device.rx_capacity;
  if (shape & 0x40) {
    device.event_handle.store(&event);
    device.event_mask.store(KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED);
    device.event_flags.store(1);
  }

  std::vector<uint8_t> expected, received, transfer;
  int modem = -1, line = -1;
  while (in.remaining() > 0) {
    const uint8_t op = in.Byte();
    if (op < 0x30) {
      Drain(&device, &received, static_cast<uint32_t>(op) * 997);
      continue;
    }
    // One transfer of up to 4096 bytes, cut into packets of the endpoint's size.
    const uint32_t length = in.Word() % 4097;
    transfer.resize(length);
    for (uint32_t k = 0; k < length; ++k) transfer[k] = in.Byte();
    std::vector<uint8_t> payload;
    for (uint32_t at = 0; at < length; at += packet) {
      const uint32_t n = std::min(length - at, packet);
      modem = transfer[at] & 0xF0;
      if (n >= 2) line = transfer[at + 1];
      if (n > 2) payload.insert(payload.end(), &transfer[at + 2], &transfer[at + n]);
    }
    // The reader thread never hands over more than the ring has room for
    // (one thread here: no lock needed to look).
    if (payload.size() > device.rx_free) Drain(&device, &received, kRingBytes);
    expected.insert(expected.end(), payload.begin(), payload.end());
    ProcessBulkInData(&device, transfer.data(), static_cast<int>(length));
    if (modem >= 0) FUZZ_CHECK(device.modem_status.load() == modem);
    if (line >= 0) FUZZ_CHECK(device.line_status.load() == line);
    FUZZ_CHECK(device.rx_free <= device.rx_capacity);
    FUZZ_CHECK(device.rx_write_pos < device.rx_capacity && device.rx_read_pos < device.rx_capacity);
  }
  Drain(&device, &received, kRingBytes);
  FUZZ_CHECK(received == expected);
  FUZZ_CHECK(device.rx_free == device.rx_capacity);
  FUZZ_CHECK((device.event_status.load() & ~3u) == 0);
  return 0;
}
