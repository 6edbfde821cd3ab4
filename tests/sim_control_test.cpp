// The chip's vendor requests seen through usb_control_msg: what each does to
// the channel state, EEPROM behaviour, stalls, short replies and the log.
#include <cerrno>

#include "sim_test_helpers.h"

using namespace simtest;

namespace {

int Out(usb_dev_handle *h, int request, int value, int index) {
  return usb_control_msg(h, 0x40, request, value, index, nullptr, 0, 1000);
}

int In(usb_dev_handle *h, int request, int index, unsigned char *reply, int length) {
  return usb_control_msg(h, 0xC0, request, 0, index, reinterpret_cast<char *>(reply), length, 1000);
}

}  // namespace

class SimControlTest : public SimTest {};

TEST_F(SimControlTest, SettingRequestsReachTheAddressedChannel) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  ASSERT_TRUE(h);
  EXPECT_EQ(Out(h.get(), 1, 0x0101, 1), 0);  // DTR on, A
  EXPECT_EQ(Out(h.get(), 1, 0x0202, 2), 0);  // RTS on, B
  EXPECT_EQ(Out(h.get(), 1, 0x0303, 0), 0);  // both on, port 0 is A
  EXPECT_EQ(Out(h.get(), 1, 0x0100, 1), 0);  // DTR off, RTS untouched
  EXPECT_EQ(Out(h.get(), 2, 0x1311, 0x0402), 0);
  EXPECT_EQ(Out(h.get(), 4, 0x1208, 1), 0);
  EXPECT_EQ(Out(h.get(), 6, 0x017E, 2), 0);
  EXPECT_EQ(Out(h.get(), 7, 0x0024, 2), 0);
  EXPECT_EQ(Out(h.get(), 11, 0x02F0, 1), 0);
  EXPECT_EQ(Out(h.get(), 9, 0x0102, 2), 0) << "latency takes the low byte";

  vexa_sim_channel_state a = State(chip, 0), b = State(chip, 1);
  EXPECT_EQ(a.dtr, 0);
  EXPECT_EQ(a.rts, 1);
  EXPECT_EQ(b.dtr, 0);
  EXPECT_EQ(b.rts, 1);
  EXPECT_EQ(b.flow_mode, 0x0400);
  EXPECT_EQ(b.flow_chars, 0x1311);
  EXPECT_EQ(a.flow_mode, 0);
  EXPECT_EQ(a.line_control, 0x1208);
  EXPECT_EQ(b.event_char, 0x017E);
  EXPECT_EQ(b.error_char, 0x0024);
  EXPECT_EQ(a.bit_mode, 0x02);
  EXPECT_EQ(a.bit_mask, 0xF0);
  EXPECT_EQ(a.latency_timer, 16) << "default after attach";
  EXPECT_EQ(b.latency_timer, 2);

  unsigned char reply[2] = {};
  EXPECT_EQ(In(h.get(), 10, 2, reply, 1), 1);
  EXPECT_EQ(reply[0], 2);
  EXPECT_EQ(In(h.get(), 12, 1, reply, 1), 1);
  EXPECT_EQ(reply[0], 0xF0);
  EXPECT_EQ(Out(h.get(), 4, 8, 3), -EPIPE) << "no port 3 on a two-channel chip";
}

TEST_F(SimControlTest, DivisorPortDependsOnTheChip) {
  int dual = AddChip(Chip(2));
  int single = AddChip(Chip(1));
  UsbHandle d = OpenNth(0), s = OpenNth(1);
  EXPECT_EQ(Out(d.get(), 3, 0x4138, 0x0102), 0);  // channel B, extension set
  EXPECT_EQ(Out(s.get(), 3, 0x001A, 0x0001), 0);  // extension only
  EXPECT_EQ(State(dual, 1).divisor, 0x4138);
  EXPECT_EQ(State(dual, 1).divisor_index, 0x0102);
  EXPECT_EQ(State(dual, 0).divisor, 0);
  EXPECT_EQ(State(single, 0).divisor, 0x001A);
  EXPECT_EQ(State(single, 0).divisor_index, 1);
}

TEST_F(SimControlTest, ResetAndPurgesClearQueuesAndCount) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "aaaa", 4);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 1, 2), 0);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 4u);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 1), 0u);
  EXPECT_EQ(Out(h.get(), 0, 2, 1), 0);
  EXPECT_EQ(State(chip, 1).rx_purges, 1u);
  EXPECT_EQ(State(chip, 0).tx_purges, 1u);
  EXPECT_EQ(State(chip, 0).rx_purges, 0u);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 0, 0), 0);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 0u);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 1), 0u);
  EXPECT_EQ(State(chip, 0).resets, 1u);
  EXPECT_EQ(State(chip, 1).resets, 1u);
  EXPECT_EQ(Out(h.get(), 0, 7, 1), -EPIPE);
}

TEST_F(SimControlTest, ModemStatusReplyCarriesTheLowBitAndTruncates) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_set_status(chip, 1, 0xB0, 0x60);
  unsigned char reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(In(h.get(), 5, 2, reply, 4), 2);
  EXPECT_EQ(reply[0], 0xB1);
  EXPECT_EQ(reply[1], 0x60);
  EXPECT_EQ(reply[2], 0xEE) << "nothing beyond the reply";
  reply[0] = reply[1] = 0;
  EXPECT_EQ(In(h.get(), 5, 2, reply, 1), 1);
  EXPECT_EQ(reply[0], 0xB1);
  EXPECT_EQ(reply[1], 0);
  EXPECT_EQ(In(h.get(), 5, 1, reply, 2), 2);
  EXPECT_EQ(reply[0], 0x01) << "channel A status is still zero";
}

TEST_F(SimControlTest, OnlyVendorRequestsTheChipKnowsAreAnswered) {
  AddChip(Chip());
  UsbHandle h = OpenNth(0);
  unsigned char reply[18];
  // Descriptor reads are answered, as by any device (libusb's string reads are such requests).
  EXPECT_EQ(usb_control_msg(h.get(), 0x80, 6, 0x0100, 0, reinterpret_cast<char *>(reply), 18, 100), 18);
  EXPECT_EQ(reply[1], USB_DT_DEVICE);
  EXPECT_EQ(usb_control_msg(h.get(), 0x80, 6, 0x0F00, 0, reinterpret_cast<char *>(reply), 18, 100), -EPIPE)
      << "a descriptor the device lacks";
  EXPECT_EQ(usb_control_msg(h.get(), 0xA1, 1, 0, 0, reinterpret_cast<char *>(reply), 2, 100), -EPIPE);
  EXPECT_EQ(usb_control_msg(h.get(), 0x41, 1, 0x0101, 1, nullptr, 0, 100), -EPIPE);
  EXPECT_EQ(Out(h.get(), 8, 0, 1), -EPIPE);
  EXPECT_EQ(Out(h.get(), 0x20, 0, 1), -EPIPE);
  EXPECT_EQ(Out(h.get(), 5, 0, 1), -EPIPE) << "a reading request sent as OUT";
  EXPECT_EQ(In(h.get(), 4, 1, reply, 2), -EPIPE) << "a setting request sent as IN";
}

TEST_F(SimControlTest, TimerAndBitModeRequestsOnlyOnCapableChips) {
  struct Case {
    uint16_t bcd;
    const char *serial;
    bool answers;
  } cases[] = {{0x0500, "S", true}, {0x0400, "S", true}, {0x0200, nullptr, true},
               {0x0200, "S", false}, {0x0600, nullptr, false}};
  for (const Case &c : cases) {
    vexa_sim_reset();
    vexa_sim_chip_config config = Chip(1, 64, 64, c.serial);
    config.bcd_device = c.bcd;
    int chip = AddChip(config);
    UsbHandle h = OpenNth(0);
    unsigned char reply[1];
    int expect_out = c.answers ? 0 : -EPIPE, expect_in = c.answers ? 1 : -EPIPE;
    SCOPED_TRACE(testing::Message() << "bcd " << std::hex << c.bcd << (c.serial ? " with" : " without") << " serial");
    EXPECT_EQ(Out(h.get(), 9, 4, 1), expect_out);
    EXPECT_EQ(In(h.get(), 10, 1, reply, 1), expect_in);
    EXPECT_EQ(Out(h.get(), 11, 0x0101, 1), expect_out);
    EXPECT_EQ(In(h.get(), 12, 1, reply, 1), expect_in);
    EXPECT_EQ(State(chip, 0).latency_timer, c.answers ? 4 : 16);
  }
}

TEST_F(SimControlTest, EepromWordsWrapEraseAndMayBeAbsent) {
  int small = AddChip(Chip(1, 64, 64));
  vexa_sim_chip_config nowrap = Chip(2, 64, 128);
  nowrap.eeprom_no_wrap = 1;
  int large = AddChip(nowrap);
  int none = AddChip(Chip(1, 64, 0));
  int big = AddChip(Chip(2, 64, 256));
  UsbHandle s = OpenNth(0), l = OpenNth(1), n = OpenNth(2), b = OpenNth(3);
  unsigned char reply[2];

  EXPECT_EQ(In(s.get(), 0x90, 7, reply, 2), 2);
  EXPECT_EQ(reply[0] | reply[1] << 8, 0xFFFF) << "a new part reads erased";
  EXPECT_EQ(Out(s.get(), 0x91, 0xABCD, 5), 0);
  EXPECT_EQ(In(s.get(), 0x90, 5, reply, 2), 2);
  EXPECT_EQ(reply[0], 0xCD) << "low byte first";
  EXPECT_EQ(reply[1], 0xAB);

  // The size probe: a write to word 192 lands where the part wraps it.
  EXPECT_EQ(Out(s.get(), 0x91, 0x00C0, 192), 0);
  EXPECT_EQ(Out(b.get(), 0x91, 0x00C0, 192), 0);
  uint16_t word = 0;
  vexa_sim_eeprom_get(small, 0, &word);
  EXPECT_EQ(word, 0x00C0);
  vexa_sim_eeprom_get(big, 192, &word);
  EXPECT_EQ(word, 0x00C0);
  vexa_sim_eeprom_get(big, 64, &word);
  EXPECT_EQ(word, 0xFFFF);
  EXPECT_EQ(In(s.get(), 0x90, 0x100 + 5, reply, 2), 2);
  EXPECT_EQ(reply[0] | reply[1] << 8, 0xABCD);

  // Without wrapping, high addresses are ignored and read erased.
  EXPECT_EQ(Out(l.get(), 0x91, 0x00C0, 192), 0);
  for (unsigned address : {0u, 64u}) {
    vexa_sim_eeprom_get(large, address, &word);
    EXPECT_EQ(word, 0xFFFF);
  }
  vexa_sim_eeprom_set(large, 10, 0x1234);
  EXPECT_EQ(In(l.get(), 0x90, 10 + 128, reply, 2), 2);
  EXPECT_EQ(reply[0] | reply[1] << 8, 0xFFFF);

  // Erase sets every word.
  vexa_sim_eeprom_fill(small, 0x0000);
  EXPECT_EQ(Out(s.get(), 0x92, 0, 0), 0);
  for (unsigned address : {0u, 31u, 63u}) {
    vexa_sim_eeprom_get(small, address, &word);
    EXPECT_EQ(word, 0xFFFF);
  }

  // No part fitted: reads zero, writes vanish.
  EXPECT_EQ(Out(n.get(), 0x91, 0x5555, 1), 0);
  EXPECT_EQ(In(n.get(), 0x90, 1, reply, 2), 2);
  EXPECT_EQ(reply[0] | reply[1] << 8, 0x0000);
  vexa_sim_eeprom_get(none, 1, &word);
  EXPECT_EQ(word, 0x0000);
}

TEST_F(SimControlTest, ControlFaultsFailOrShortenButShortRepliesStillAct) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_fault second_purge = Fault(VEXA_SIM_FAULT_CONTROL, -EPIPE, chip, 0, 1, 1);
  vexa_sim_add_fault(&second_purge);
  EXPECT_EQ(Out(h.get(), 0, 1, 1), 0);
  EXPECT_EQ(Out(h.get(), 0, 1, 1), -EPIPE);
  EXPECT_EQ(Out(h.get(), 0, 1, 1), 0);
  EXPECT_EQ(State(chip, 0).rx_purges, 2u) << "the failed request did nothing";

  vexa_sim_fault short_reply = Fault(VEXA_SIM_FAULT_CONTROL, 1, chip, 0x90, 0, 1);
  vexa_sim_add_fault(&short_reply);
  vexa_sim_eeprom_set(chip, 3, 0x1234);
  unsigned char reply[2] = {0, 0};
  EXPECT_EQ(In(h.get(), 0x90, 3, reply, 2), 1);
  EXPECT_EQ(reply[0], 0x34);
  EXPECT_EQ(reply[1], 0x00);

  vexa_sim_fault short_out = Fault(VEXA_SIM_FAULT_CONTROL, 0, chip, 4, 0, 1);
  vexa_sim_add_fault(&short_out);
  EXPECT_EQ(Out(h.get(), 4, 0x0008, 1), 0);
  EXPECT_EQ(State(chip, 0).line_control, 0x0008);

  // Channel filter: only channel B's requests fail.
  vexa_sim_fault on_b = Fault(VEXA_SIM_FAULT_CONTROL, -EIO, chip, 1, 0, -1, 1);
  vexa_sim_add_fault(&on_b);
  EXPECT_EQ(Out(h.get(), 1, 0x0101, 1), 0);
  EXPECT_EQ(Out(h.get(), 1, 0x0101, 2), -EIO);
  EXPECT_EQ(State(chip, 1).dtr, 0);
}

TEST_F(SimControlTest, LogRecordsEveryControlRequestWithItsResult) {
  int chip = AddChip(Chip());
  UsbHandle h = OpenNth(0);
  unsigned char reply[2];
  vexa_sim_log_clear();
  Out(h.get(), 4, 0x0008, 1);
  In(h.get(), 5, 1, reply, 2);
  Out(h.get(), 0x33, 1, 2);
  auto log = ControlLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].chip, chip);
  EXPECT_EQ(log[0].request_type, 0x40);
  EXPECT_EQ(log[0].request, 4);
  EXPECT_EQ(log[0].value, 0x0008);
  EXPECT_EQ(log[0].index, 1);
  EXPECT_EQ(log[0].length, 0);
  EXPECT_EQ(log[0].result, 0);
  EXPECT_EQ(log[1].request_type, 0xC0);
  EXPECT_EQ(log[1].length, 2);
  EXPECT_EQ(log[1].result, 2);
  EXPECT_EQ(log[2].request, 0x33);
  EXPECT_EQ(log[2].result, -EPIPE);
  vexa_sim_log_clear();
  EXPECT_EQ(vexa_sim_log(nullptr, 0), 0u);
}
