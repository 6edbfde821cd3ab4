// Bulk transfers: the chip's packet stream on bulk IN and capture of bulk OUT.
//
// Bulk IN follows what a host sees from the real chip through libusb 0.1:
// whole packets of at most wMaxPacketSize bytes, each led by the two status
// bytes; a short packet ends the transfer; with nothing to send the chip
// answers a status-only packet once its latency timer runs out.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim_internal.h"

using namespace vexa_sim;

namespace {

struct PacingRule {
  Clock::duration frame;
  int packets;
};

// Full speed: 19 packets of 64 bytes fit a 1 ms frame; high speed: 13
// packets of 512 bytes fit a 125 us microframe.
PacingRule pacing_rule(int mode) {
  if (mode == 2) return {std::chrono::microseconds(125), 13};
  return {std::chrono::milliseconds(1), 19};
}

// Whether a packet may go out now; otherwise sets *next to when it may.
bool pacing_allows(Channel &channel, Clock::time_point now, Clock::time_point *next) {
  if (!channel.pacing) return true;
  PacingRule rule = pacing_rule(channel.pacing);
  int64_t frame = now.time_since_epoch() / rule.frame;
  if (frame != channel.frame) {
    channel.frame = frame;
    channel.frame_packets = 0;
  }
  if (channel.frame_packets < rule.packets) return true;
  *next = Clock::time_point((frame + 1) * rule.frame);
  return false;
}

void note_packet_sent(Channel &channel) {
  if (channel.pacing) ++channel.frame_packets;
}

// Builds the next packet: status bytes, then payload taken from the queue.
size_t next_packet(Channel &channel, int max_packet, uint8_t *packet) {
  packet[0] = static_cast<uint8_t>(channel.state.modem_status | 0x01);
  packet[1] = channel.state.line_status;
  size_t payload = std::min(channel.rx.size(), static_cast<size_t>(std::max(max_packet - 2, 0)));
  std::copy_n(channel.rx.begin(), payload, packet + 2);
  channel.rx.erase(channel.rx.begin(), channel.rx.begin() + static_cast<std::ptrdiff_t>(payload));
  return payload + 2;
}

// Interface of a bulk endpoint number: IN endpoints are 0x81 + 2k, OUT 0x02 + 2k.
int interface_of(const Chip &chip, int endpoint, bool in) {
  int number = endpoint & 0x0F;
  if (number == 0 || (number % 2 == 1) != in) return -1;
  int k = in ? (number - 1) / 2 : number / 2 - 1;
  return k < chip.interfaces ? k : -1;
}

}  // namespace

SIM_EXPORT int usb_bulk_read(usb_dev_handle *handle, int endpoint, char *bytes, int size, int timeout) {
  std::unique_lock<std::mutex> lock(sim().mutex);
  endpoint = (endpoint & 0xFF) | USB_ENDPOINT_IN;  // as libusb 0.1 does
  const int chip_id = handle ? handle->chip->id : -1;
  auto finish = [&](int result) {
    log_bulk(VEXA_SIM_LOG_BULK_IN, chip_id, endpoint, size, result);
    return remember_result(result);
  };
  int result = check_handle(handle);
  if (result) return finish(result);
  std::shared_ptr<Chip> chip = handle->chip;
  const int k = interface_of(*chip, endpoint, true);
  if (k < 0) return finish(-ENOENT);
  if (size < 0 || (size > 0 && !bytes)) return finish(-EINVAL);
  Channel &channel = chip->channels[static_cast<size_t>(k)];
  if (channel.claimed_by && channel.claimed_by != handle) return finish(-EBUSY);
  if (fault_fires(VEXA_SIM_FAULT_BULK_READ, chip->id, k, -1, &result)) return finish(result);
  if (size == 0) return finish(0);

  const bool forever = timeout <= 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
  std::optional<Clock::time_point> idle_until;  // when the latency timer of an empty queue runs out
  std::vector<uint8_t> packet(static_cast<size_t>(std::max(chip->max_packet, 2)));
  int got = 0;

  // Waits for a change or until `until`; false when the transfer's own
  // time-out came first.
  auto wait_until = [&](std::optional<Clock::time_point> until) {
    std::optional<Clock::time_point> limit = until;
    if (!forever && (!limit || deadline < *limit)) limit = deadline;
    if (limit) chip->changed.wait_until(lock, *limit);
    else chip->changed.wait(lock);
    return forever || Clock::now() < deadline;
  };

  for (;;) {
    // libusb ignores the URB status: an unplug or stall mid-wait reads as 0 bytes.
    if (chip->unplugged || channel.stalled) return finish(0);
    if (channel.silent) {
      if (!wait_until(std::nullopt)) return finish(-ETIMEDOUT);
      continue;
    }
    Clock::time_point now = Clock::now();
    if (!forever && now >= deadline) return finish(-ETIMEDOUT);
    Clock::time_point next_frame;
    if (!pacing_allows(channel, now, &next_frame)) {
      if (!wait_until(next_frame)) return finish(-ETIMEDOUT);
      continue;
    }
    if (channel.rx.empty() && got == 0) {
      // Nothing to send yet: hold the transfer open until data comes or the
      // latency timer (0 behaves as 1 ms) runs out.
      if (!idle_until) {
        int latency = channel.state.latency_timer ? channel.state.latency_timer : 1;
        idle_until = now + std::chrono::milliseconds(latency);
      }
      if (now < *idle_until) {
        if (!wait_until(*idle_until)) return finish(-ETIMEDOUT);
        continue;
      }
    }
    size_t length = next_packet(channel, chip->max_packet, packet.data());
    note_packet_sent(channel);
    const size_t room = static_cast<size_t>(size - got);
    if (length > room) {
      // Babble: the packet overflows the buffer; the kernel keeps what fits
      // and the rest of the packet is gone.
      std::memcpy(bytes + got, packet.data(), room);
      return finish(size);
    }
    std::memcpy(bytes + got, packet.data(), length);
    got += static_cast<int>(length);
    if (length < static_cast<size_t>(chip->max_packet) || got == size) return finish(got);
  }
}

SIM_EXPORT int usb_bulk_write(usb_dev_handle *handle, int endpoint, const char *bytes, int size, int) {
  std::lock_guard<std::mutex> lock(sim().mutex);
  endpoint = endpoint & 0x7F;  // as libusb 0.1 does
  const int chip_id = handle ? handle->chip->id : -1;
  auto finish = [&](int result) {
    log_bulk(VEXA_SIM_LOG_BULK_OUT, chip_id, endpoint, size, result);
    return remember_result(result);
  };
  int result = check_handle(handle);
  if (result) return finish(result);
  Chip &chip = *handle->chip;
  const int k = interface_of(chip, endpoint, false);
  if (k < 0) return finish(-ENOENT);
  if (size < 0 || (size > 0 && !bytes)) return finish(-EINVAL);
  Channel &channel = chip.channels[static_cast<size_t>(k)];
  if (channel.claimed_by && channel.claimed_by != handle) return finish(-EBUSY);
  if (fault_fires(VEXA_SIM_FAULT_BULK_WRITE, chip.id, k, -1, &result)) return finish(result);
  int accepted = channel.write_limit > 0 ? std::min(channel.write_limit, size) : size;
  const auto *data = reinterpret_cast<const uint8_t *>(bytes);
  channel.tx.insert(channel.tx.end(), data, data + accepted);
  if (channel.loopback) channel.rx.insert(channel.rx.end(), data, data + accepted);
  chip.changed.notify_all();
  return finish(accepted);
}
