// What the chip does on the wire, whichever transport carries it: interface
// claims and drivers, the default pipe, and the bulk packet stream.
//
// Bulk IN follows what a host sees from the real chip: whole packets of at
// most wMaxPacketSize bytes, each led by the two status bytes; a short packet
// ends the transfer; with nothing to send the chip answers a status-only
// packet once its latency timer runs out.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim_model.h"

namespace vexa_sim {
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

int64_t frame_of(const PacingRule &rule, Clock::time_point t) {
  return t.time_since_epoch() / rule.frame;
}

Clock::time_point frame_start(const PacingRule &rule, int64_t frame) {
  return Clock::time_point(frame * rule.frame);
}

// How many more packets the transfer takes before it ends, with the data
// queued now: until its buffer is full, or up to the short packet that
// follows the last of the queued payload.
int64_t packets_to_end(const Channel &channel, const BulkIn &transfer, int max_packet) {
  const int64_t packet = std::max(max_packet, 1);
  const int64_t room = transfer.size - transfer.got;
  const int64_t to_fill = (room + packet - 1) / packet;
  const int64_t payload = max_packet - 2;
  if (payload <= 0) return to_fill;
  return std::min(to_fill, static_cast<int64_t>(channel.rx.size()) / payload + 1);
}

// Writes the next packet to `out`: status bytes, then payload taken from the
// queue. `room` bytes fit there; the part of a packet beyond them is lost, as
// a host controller drops the rest of a packet that overflows the buffer.
// Returns the packet's full length.
size_t next_packet(Channel &channel, int max_packet, uint8_t *out, size_t room) {
  const uint8_t status[2] = {static_cast<uint8_t>(channel.state.modem_status | 0x01),
                             channel.state.line_status};
  const size_t payload = std::min(channel.rx.size(), static_cast<size_t>(std::max(max_packet - 2, 0)));
  std::memcpy(out, status, std::min<size_t>(2, room));
  const size_t kept = room > 2 ? std::min(payload, room - 2) : 0;
  channel.rx.take(out + 2, kept);
  channel.rx.take(nullptr, payload - kept);
  if (channel.pacing) ++channel.slot;
  return payload + 2;
}

// The channel a fault filter sees: the port the request names, or for
// chip-wide requests (reset, EEPROM, divisor on single-channel chips) the
// interface the caller holds.
int fault_channel(const Chip &chip, const void *owner, int request, int value, int index) {
  bool names_port = (request == 0 && value != 0) || (request == 3 && chip.bcd == 0x0500) ||
                    (request >= 1 && request <= 12 && request != 3);
  if (names_port) return vendor_request_channel(chip, request, index);
  for (size_t k = 0; k < chip.channels.size(); ++k)
    if (chip.channels[k].claimed_by == owner) return static_cast<int>(k);
  return -1;
}

bool valid_interface(const Chip &chip, int interface) {
  return interface >= 0 && interface < chip.interfaces;
}

}  // namespace

int claim_interface(Chip &chip, int interface, const void *owner) {
  if (!valid_interface(chip, interface)) return -ENOENT;
  Channel &channel = chip.channels[static_cast<size_t>(interface)];
  if (!channel.kernel_driver.empty()) return -EBUSY;
  if (channel.claimed_by && channel.claimed_by != owner) return -EBUSY;
  channel.claimed_by = owner;
  return 0;
}

int release_interface(Chip &chip, int interface, const void *owner) {
  if (!valid_interface(chip, interface) ||
      chip.channels[static_cast<size_t>(interface)].claimed_by != owner)
    return -EINVAL;
  chip.channels[static_cast<size_t>(interface)].claimed_by = nullptr;
  return 0;
}

void release_claims(Chip &chip, const void *owner) {
  for (Channel &channel : chip.channels)
    if (channel.claimed_by == owner) channel.claimed_by = nullptr;
}

int interface_driver(const Chip &chip, int interface, std::string *name) {
  if (!valid_interface(chip, interface)) return -EINVAL;
  const Channel &channel = chip.channels[static_cast<size_t>(interface)];
  if (!channel.kernel_driver.empty()) *name = channel.kernel_driver;
  else if (channel.claimed_by) *name = "usbfs";
  else return -ENODATA;
  return 0;
}

int detach_kernel_driver(Chip &chip, int interface) {
  if (!valid_interface(chip, interface)) return -EINVAL;
  Channel &channel = chip.channels[static_cast<size_t>(interface)];
  if (channel.kernel_driver.empty()) return -ENODATA;
  channel.kernel_driver.clear();
  return 0;
}

int control_transfer(Chip &chip, const void *owner, int request_type, int request, int value,
                     int index, uint8_t *data, int length) {
  request_type &= 0xFF;
  request &= 0xFF;
  value &= 0xFFFF;
  index &= 0xFFFF;
  if (length < 0 || length > 0xFFFF || (length > 0 && !data)) return -EINVAL;

  // GET_DESCRIPTOR is the USB core's business, not the chip's: answered from
  // the descriptors and kept out of the log, which records the chip's requests.
  if (request_type == USB_ENDPOINT_IN && request == USB_REQ_GET_DESCRIPTOR) {
    std::vector<uint8_t> bytes = descriptor_bytes(chip, value >> 8, value & 0xFF);
    if (bytes.empty()) return -EPIPE;
    int n = std::min(static_cast<int>(bytes.size()), length);
    if (n > 0) std::memcpy(data, bytes.data(), static_cast<size_t>(n));
    return n;
  }

  auto finish = [&](int result) {
    log_control(chip.id, request_type, request, value, index, length, result);
    return result;
  };
  int fault_result = 0;
  const bool faulted = fault_fires(VEXA_SIM_FAULT_CONTROL, chip.id,
                                   fault_channel(chip, owner, request, value, index), request, &fault_result);
  if (faulted && fault_result < 0) return finish(fault_result);

  // The device only knows vendor requests to itself; a standard or class
  // request, or one for an interface or endpoint, is stalled.
  if (request_type != 0x40 && request_type != 0xC0) return finish(-EPIPE);
  std::vector<uint8_t> reply(static_cast<size_t>(length));
  if (request_type == 0x40 && length > 0) std::memcpy(reply.data(), data, static_cast<size_t>(length));
  int result = vendor_request(chip, request_type, request, value, index, reply.data(), length, nullptr);
  if (result < 0) return finish(result);
  if (faulted) {
    // A short reply: the request took effect, but only part of it came back.
    result = fault_result < result ? fault_result : (request_type == 0xC0 ? result : fault_result);
  }
  if (request_type == 0xC0 && result > 0) std::memcpy(data, reply.data(), static_cast<size_t>(result));
  return finish(result);
}

// IN endpoints are 0x81 + 2k, OUT 0x02 + 2k for interface k.
int bulk_interface(const Chip &chip, int endpoint, bool in, const void *owner) {
  int number = endpoint & 0x0F;
  if (number == 0 || (number % 2 == 1) != in) return -ENOENT;
  int k = in ? (number - 1) / 2 : number / 2 - 1;
  if (!valid_interface(chip, k)) return -ENOENT;
  const Channel &channel = chip.channels[static_cast<size_t>(k)];
  if (channel.claimed_by && channel.claimed_by != owner) return -EBUSY;
  return k;
}

bool bulk_in_step(Chip &chip, BulkIn &transfer, uint8_t *bytes, Clock::time_point now, bool expired,
                  int *result, std::optional<Clock::time_point> *wake) {
  Channel &channel = chip.channels[static_cast<size_t>(transfer.interface)];
  wake->reset();
  auto done = [&](int value) {
    *result = value;
    return true;
  };
  // The URB's status tells of an unplug or a stall, but libusb 0.1 ignores
  // it: what the caller sees is a transfer of 0 bytes.
  if (chip.unplugged || channel.stalled) return done(0);
  if (channel.silent) return expired ? done(-ETIMEDOUT) : false;
  // Without pacing every packet is there at once, so nothing can be owed to
  // a transfer that ran out of time.
  if (expired && !channel.pacing) return done(-ETIMEDOUT);

  const PacingRule rule = pacing_rule(channel.pacing);
  const int64_t frame_now = channel.pacing ? frame_of(rule, now) : 0;
  if (channel.pacing && !transfer.started) {
    // Frames that passed while no transfer was pending carried nothing.
    channel.slot = std::max(channel.slot, frame_now * rule.packets);
  }
  transfer.started = true;

  for (;;) {
    if (channel.rx.empty() && transfer.got == 0) {
      // Nothing to send yet: hold the transfer open until data comes or the
      // latency timer (0 behaves as 1 ms) runs out.
      if (!transfer.idle_until) {
        int latency = channel.state.latency_timer ? channel.state.latency_timer : 1;
        transfer.idle_until = now + std::chrono::milliseconds(latency);
      }
      if (now < *transfer.idle_until) {
        if (expired) return done(-ETIMEDOUT);
        *wake = *transfer.idle_until;
        return false;
      }
    }
    if (channel.pacing && channel.slot / rule.packets > frame_now) {
      // This frame's packets are spent. Sleep until the frame in which the
      // transfer can end; an outside change (more data, unplug) wakes earlier.
      if (expired) return done(-ETIMEDOUT);
      const int64_t last = channel.slot + packets_to_end(channel, transfer, chip.max_packet) - 1;
      *wake = frame_start(rule, last / rule.packets);
      return false;
    }
    const size_t room = static_cast<size_t>(transfer.size - transfer.got);
    const size_t length = next_packet(channel, chip.max_packet, bytes + transfer.got, room);
    if (length > room) {
      // Babble: the packet overflowed the buffer; the host kept what fit.
      transfer.got = transfer.size;
      return done(transfer.size);
    }
    transfer.got += static_cast<int>(length);
    if (length < static_cast<size_t>(chip.max_packet) || transfer.got == transfer.size)
      return done(transfer.got);
  }
}

int bulk_out(Chip &chip, int interface, const uint8_t *data, int size) {
  Channel &channel = chip.channels[static_cast<size_t>(interface)];
  int accepted = channel.write_limit > 0 ? std::min(channel.write_limit, size) : size;
  channel.tx.append(data, static_cast<size_t>(accepted));
  // Bulk IN transfers care only when loopback gave them something to send.
  if (channel.loopback && accepted > 0) {
    channel.rx.append(data, static_cast<size_t>(accepted));
    chip.changed.notify_all();
  }
  chip.tx_written.notify_all();
  return accepted;
}

}  // namespace vexa_sim
