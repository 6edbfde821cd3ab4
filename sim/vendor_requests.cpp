// The chip's vendor requests on the control pipe: what each one does to a
// channel or to the EEPROM, and what the reading ones answer.
#include <cerrno>
#include <cstring>

#include "sim_model.h"

namespace vexa_sim {
namespace {

constexpr int kOut = 0x40;  // vendor, device, host to device
constexpr int kIn = 0xC0;   // vendor, device, device to host

bool is_reading_request(int request) {
  return request == 5 || request == 10 || request == 12 || request == 0x90;
}

bool carries_port(int request) {
  return request >= 1 && request <= 12 && request != 8 && request != 3;
}

// Port number in the low byte of wIndex: 1 is channel A (0 is taken as A
// too), 2 is channel B. -1 when the chip has no such port.
int port_channel(const Chip &chip, int index) {
  int port = index & 0xFF;
  int channel = port == 0 ? 0 : port - 1;
  return channel < chip.interfaces ? channel : -1;
}

int copy_reply(uint8_t *reply, int length, const uint8_t *answer, int answer_length) {
  int n = answer_length < length ? answer_length : length;
  if (n > 0 && reply) std::memcpy(reply, answer, static_cast<size_t>(n));
  return n;
}

void line_settings_changed(const Chip &chip, int channel, int request) {
  if (sim().on_line_settings) sim().on_line_settings(chip, channel, request);
}

}  // namespace

int vendor_request_channel(const Chip &chip, int request, int index) {
  if (request == 0) return (index & 0xFF) ? port_channel(chip, index) : 0;
  if (request == 3) {
    // Only the dual-channel chip reads a port from the divisor request; the
    // others take wIndex as the fraction extension alone.
    return chip.bcd == 0x0500 ? port_channel(chip, index) : 0;
  }
  if (carries_port(request)) return port_channel(chip, index);
  return 0;
}

int vendor_request(Chip &chip, int request_type, int request, int value, int index,
                   uint8_t *reply, int length, int *channel_out) {
  const int channel_no = vendor_request_channel(chip, request, index);
  if (channel_out) *channel_out = channel_no;
  const bool reading = is_reading_request(request);
  if (request_type != (reading ? kIn : kOut)) return -EPIPE;
  if (channel_no < 0) return -EPIPE;
  Channel &channel = chip.channels[static_cast<size_t>(channel_no)];
  vexa_sim_channel_state &st = channel.state;
  const int done = reading ? 0 : length;  // an OUT data stage is accepted whole

  switch (request) {
    case 0:  // reset / purge
      if (value == 0) {
        chip_reset(chip);
      } else if (value == 1) {
        channel.rx.clear();
        ++st.rx_purges;
        chip.changed.notify_all();
      } else if (value == 2) {
        ++st.tx_purges;
      } else {
        return -EPIPE;
      }
      return done;
    case 1:  // modem control: high byte selects the lines, low byte their state
      if (value & 0x0100) st.dtr = value & 0x01 ? 1 : 0;
      if (value & 0x0200) st.rts = value & 0x02 ? 1 : 0;
      return done;
    case 2:
      st.flow_mode = static_cast<uint16_t>(index & 0xFF00);
      st.flow_chars = static_cast<uint16_t>(value);
      line_settings_changed(chip, channel_no, request);
      return done;
    case 3:
      st.divisor = static_cast<uint16_t>(value);
      st.divisor_index = static_cast<uint16_t>(index);
      line_settings_changed(chip, channel_no, request);
      return done;
    case 4:
      st.line_control = static_cast<uint16_t>(value);
      line_settings_changed(chip, channel_no, request);
      return done;
    case 5: {
      // The chip sets the low bits of the modem-status byte; hosts mask them.
      uint8_t answer[2] = {static_cast<uint8_t>(st.modem_status | 0x01), st.line_status};
      return copy_reply(reply, length, answer, 2);
    }
    case 6:
      st.event_char = static_cast<uint16_t>(value);
      return done;
    case 7:
      st.error_char = static_cast<uint16_t>(value);
      return done;
    case 9:
    case 10:
    case 11:
    case 12:
      if (!chip_has_timer_requests(chip)) return -EPIPE;
      if (request == 9) {
        st.latency_timer = static_cast<uint8_t>(value & 0xFF);
        chip.changed.notify_all();
        return done;
      }
      if (request == 11) {
        st.bit_mode = static_cast<uint8_t>((value >> 8) & 0xFF);
        st.bit_mask = static_cast<uint8_t>(value & 0xFF);
        return done;
      }
      {
        uint8_t answer = request == 10 ? st.latency_timer : st.bit_mask;
        return copy_reply(reply, length, &answer, 1);
      }
    case 0x90: {
      uint16_t word = eeprom_read(chip, static_cast<unsigned>(index));
      uint8_t answer[2] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
      return copy_reply(reply, length, answer, 2);
    }
    case 0x91:
      eeprom_write(chip, static_cast<unsigned>(index), static_cast<uint16_t>(value));
      return done;
    case 0x92:
      for (uint16_t &word : chip.eeprom) word = 0xFFFF;
      eeprom_changed(chip);
      return done;
    default:
      return -EPIPE;
  }
}

}  // namespace vexa_sim
