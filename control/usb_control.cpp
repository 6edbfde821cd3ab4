// The vendor control-request layer: one function sends every request on the
// default pipe, and one small operation per chip setting builds its value and
// index words and records the setting once the chip has acknowledged it.
#include "usb_control.h"

#include <cstring>

#include "bulk_in.h"
#include "chip_revisions.h"
#include "debug_log.h"

// The settings copies take the parameter records byte for byte.
static_assert(sizeof(norvec_device::line_control) == sizeof(_TKxLineControl) &&
                  sizeof(norvec_device::flow_control) == sizeof(_TKxFlowControl) &&
                  sizeof(norvec_device::special_chars) == sizeof(_TKxSpecialChars) &&
                  sizeof(norvec_device::bit_mode) == sizeof(_TKxBitMode),
              "record copies match the parameter records");

namespace {

// The receive purge is repeated: the chip may still be moving a packet into
// its FIFO when the first requests arrive, so only the last one counts.
constexpr int kReceivePurgeRepeats = 6;

constexpr uint16_t kPurgeRxValue = 1;
constexpr uint16_t kPurgeTxValue = 2;

constexpr uint16_t kDtrOn = 0x0101;
constexpr uint16_t kDtrOff = 0x0100;
constexpr uint16_t kRtsOn = 0x0202;
constexpr uint16_t kRtsOff = 0x0200;
constexpr uint8_t kModemControlDtr = 0x01;
constexpr uint8_t kModemControlRts = 0x02;

constexpr uint16_t kCharEnable = 0x0100;

constexpr uint32_t kDeadmanBaseMs = 5000;
// Each bulk-in packet starts with two status bytes.
constexpr uint32_t kPacketStatusBytes = 2;

int SendOut(norvec_device *device, uint8_t request, uint16_t value, uint16_t index) {
  return KX_VendorRequest(request, value, index, nullptr, 0, KX_REQTYPE_OUT, device);
}

// A reading request succeeds only when the whole reply arrived. A short reply
// of zero bytes would otherwise read as success, so it becomes -1.
int ReadIn(norvec_device *device, uint8_t request, uint8_t *reply, uint16_t length) {
  int result = KX_VendorRequest(request, 0, device->port_index, reply, length, KX_REQTYPE_IN, device);
  if (result == length) return 0;
  return result == 0 ? -1 : result;
}

int SetModemLine(norvec_device *device, uint16_t value, uint8_t bit, bool on) {
  MutexGuard hold(device->control_lock);
  int result = SendOut(device, KX_REQ_MODEM_CTRL, value, device->port_index);
  if (result == 0) {
    if (on)
      device->modem_control = static_cast<uint8_t>(device->modem_control | bit);
    else
      device->modem_control = static_cast<uint8_t>(device->modem_control & ~bit);
  }
  return result;
}

int ReadOneByte(norvec_device *device, uint8_t request, unsigned char *out) {
  if (!SupportsLatencyAndBitMode(device)) return KX_RESULT_UNSUPPORTED;
  uint8_t reply = 0;
  int result = ReadIn(device, request, &reply, 1);
  if (result == 0) *out = reply;
  return result;
}

}  // namespace

int KX_VendorRequest(uint8_t request, uint16_t value, uint16_t index, void *data, uint16_t length,
                     uint32_t requestType, norvec_device *device) {
  int result = usb_control_msg(device->usb_handle, static_cast<int>(requestType), request, value,
                               index, static_cast<char *>(data), length, KX_CONTROL_TIMEOUT_MS);
  if (DebugEnabled()) DebugControlTransfer(requestType, request, value, index, data, length, result);
  if (result != static_cast<int>(length)) return IoErrorHandler(device, nullptr, index, result);
  return result;
}

// Every failed control transfer passes here; it is the one place to hook a
// diagnostic, and deliberately changes nothing.
int IoErrorHandler(norvec_device *, void *, uint16_t, int result) { return result; }

bool SupportsLatencyAndBitMode(const norvec_device *device) {
  return ChipRevisionOf(device->descriptor).latency_and_bit_mode;
}

int SetLineControl(norvec_device *device, _TKxLineControl *params) {
  MutexGuard hold(device->control_lock);
  uint16_t word = static_cast<uint16_t>(params->word_length | (params->parity << 8) |
                                        (params->stop_bits << 11));
  // Stored before sending so that a break request always carries the format
  // the application asked for last, acknowledged or not.
  device->line_control_value = word;
  int result = SendOut(device, KX_REQ_SET_LINE_CONTROL, word, device->port_index);
  if (result == 0) {
    std::memcpy(device->line_control, params, sizeof device->line_control);
  }
  return result;
}

int SetBreak(norvec_device *device, unsigned short flag) {
  MutexGuard hold(device->control_lock);
  uint16_t word = static_cast<uint16_t>(device->line_control_value | flag);
  return SendOut(device, KX_REQ_SET_LINE_CONTROL, word, device->port_index);
}

int SetFlowControl(norvec_device *device, _TKxFlowControl *params) {
  MutexGuard hold(device->control_lock);
  uint16_t value = 0;
  if (params->flow_mode == KX_FLOW_XON_XOFF)
    value = static_cast<uint16_t>((params->flow_char_2 << 8) | params->flow_char_1);
  uint16_t index = static_cast<uint16_t>(device->port_index | params->flow_mode);
  int result = SendOut(device, KX_REQ_SET_FLOW_CONTROL, value, index);
  if (result == 0) {
    device->flow_control_value = params->flow_mode;
    std::memcpy(device->flow_control, params, sizeof device->flow_control);
  }
  return result;
}

int SetDtr(norvec_device *device) { return SetModemLine(device, kDtrOn, kModemControlDtr, true); }
int ClrDtr(norvec_device *device) { return SetModemLine(device, kDtrOff, kModemControlDtr, false); }
int SetRts(norvec_device *device) { return SetModemLine(device, kRtsOn, kModemControlRts, true); }
int ClrRts(norvec_device *device) { return SetModemLine(device, kRtsOff, kModemControlRts, false); }

int SetChars(norvec_device *device, _TKxSpecialChars *params) {
  MutexGuard hold(device->control_lock);
  uint16_t first = static_cast<uint16_t>(params->first_char | (params->first_enable ? kCharEnable : 0));
  int result = SendOut(device, KX_REQ_SET_CHAR1, first, device->port_index);
  if (result != 0) return result;
  uint16_t second =
      static_cast<uint16_t>(params->second_char | (params->second_enable ? kCharEnable : 0));
  result = SendOut(device, KX_REQ_SET_CHAR2, second, device->port_index);
  if (result == 0) {
    std::memcpy(device->special_chars, params, sizeof device->special_chars);
  }
  return result;
}

int GetModemStatus(norvec_device *device) {
  uint8_t reply[2] = {0, 0};
  if (ReadIn(device, KX_REQ_GET_MODEM_STATUS, reply, sizeof reply) != 0) return -1;
  device->modem_status.store(static_cast<uint8_t>(reply[0] & 0xF0));
  device->line_status.store(reply[1]);
  return 0;
}

int Purge(norvec_device *device, unsigned long mask) {
  int result = 0;
  if (mask & KX_PURGE_RX) {
    for (int i = 0; i < kReceivePurgeRepeats; ++i)
      result = SendOut(device, KX_REQ_RESET, kPurgeRxValue, device->port_index);
    if (result != 0) return result;
    PurgeReceiveRing(device);
  }
  if (mask & KX_PURGE_TX) result = SendOut(device, KX_REQ_RESET, kPurgeTxValue, device->port_index);
  return result;
}

// The reset addresses the whole chip, so wIndex is 0 on every channel.
int ResetDevice(norvec_device *device, unsigned char *) { return SendOut(device, KX_REQ_RESET, 0, 0); }

int SetLatencyTimer(norvec_device *device, unsigned char milliseconds) {
  if (!SupportsLatencyAndBitMode(device)) return KX_RESULT_UNSUPPORTED;
  MutexGuard hold(device->control_lock);
  int result = SendOut(device, KX_REQ_SET_LATENCY_TIMER, milliseconds, device->port_index);
  if (result == 0) {
    device->latency_timer.store(milliseconds);
    KX_SetDeadmanTimeout(device);
  }
  return result;
}

int GetLatencyTimer(norvec_device *device, unsigned char *milliseconds) {
  return ReadOneByte(device, KX_REQ_GET_LATENCY_TIMER, milliseconds);
}

int SetBitMode(norvec_device *device, _TKxBitMode *params) {
  if (!SupportsLatencyAndBitMode(device)) return KX_RESULT_UNSUPPORTED;
  MutexGuard hold(device->control_lock);
  uint16_t value = static_cast<uint16_t>((params->mode << 8) | params->mask);
  int result = SendOut(device, KX_REQ_SET_BIT_MODE, value, device->port_index);
  if (result == 0) {
    std::memcpy(device->bit_mode, params, sizeof device->bit_mode);
  }
  return result;
}

int GetBitMode(norvec_device *device, unsigned char *value) {
  return ReadOneByte(device, KX_REQ_GET_BIT_MODE, value);
}

// A bulk transfer may have to wait one latency period for every packet it
// spans, so the write time-out grows with the latency timer.
//
// The reader thread and a latency-timer call may run this at once. Each
// stores its result and then checks that its inputs still hold; one that
// finds them changed computes again. So the value stored last always comes
// from the latest inputs, without a lock that the reader would have to take.
void KX_SetDeadmanTimeout(norvec_device *device) {
  uint32_t packet = device->max_packet_size;
  // Open refuses packets of 2 bytes or less; still, never divide by zero.
  uint32_t payload = packet > kPacketStatusBytes ? packet - kPacketStatusBytes : 1;
  uint32_t transfer_size, latency;
  do {
    transfer_size = device->in_transfer_size.load();
    latency = device->latency_timer.load();
    device->transfer_timeout.store(transfer_size / payload * latency + kDeadmanBaseMs);
  } while (transfer_size != device->in_transfer_size.load() || latency != device->latency_timer.load());
}
