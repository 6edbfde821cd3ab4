// The chip's vendor requests seen through usb_control_msg: what each does to
// the channel state, EEPROM behaviour, stalls and short replies. The log of
// control requests is checked word for word by the library's own tests.
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

// An EEPROM word read through request 0x90 (low byte first), or -1.
int ReadWord(usb_dev_handle *h, int address) {
  unsigned char reply[2];
  return In(h, 0x90, address, reply, 2) == 2 ? reply[0] | reply[1] << 8 : -1;
}

int SimWord(int chip, unsigned address) {
  uint16_t word = 0;
  return vexa_sim_eeprom_get(chip, address, &word) == 0 ? word : -1;
}

struct FieldOf {
  const char *name;
  int (*get)(const vexa_sim_channel_state &);
};
#define FIELD(name) FieldOf{#name, [](const vexa_sim_channel_state &s) { return static_cast<int>(s.name); }}

}  // namespace

class SimControlTest : public SimTest {};

TEST_F(SimControlTest, SettingRequestsReachTheAddressedChannel) {
  int dual = AddChip(Chip(2));
  int single = AddChip(Chip(1));
  UsbHandle d = OpenNth(0), s = OpenNth(1);
  const int sent[][3] = {
      {1, 0x0101, 1},       // DTR on, A
      {1, 0x0202, 2},       // RTS on, B
      {1, 0x0303, 0},       // both on, port 0 is A
      {1, 0x0100, 1},       // DTR off, RTS untouched
      {2, 0x1311, 0x0402},  // flow mode in the high byte of wIndex
      {4, 0x1208, 1},  {6, 0x017E, 2}, {7, 0x0024, 2}, {11, 0x02F0, 1},
      {9, 0x0102, 2},       // latency takes the low byte
      {3, 0x4138, 0x0102},  // the dual chip's divisor carries a port
  };
  for (const auto &r : sent) EXPECT_EQ(Out(d.get(), r[0], r[1], r[2]), 0) << "request " << r[0];
  EXPECT_EQ(Out(s.get(), 3, 0x001A, 0x0001), 0);  // a single chip's wIndex is the extension only
  const struct {
    int chip, channel;
    FieldOf field;
    int value;
  } expected[] = {
      {dual, 0, FIELD(dtr), 0},           {dual, 0, FIELD(rts), 1},
      {dual, 1, FIELD(dtr), 0},           {dual, 1, FIELD(rts), 1},
      {dual, 1, FIELD(flow_mode), 0x0400}, {dual, 1, FIELD(flow_chars), 0x1311},
      {dual, 0, FIELD(flow_mode), 0},     {dual, 0, FIELD(line_control), 0x1208},
      {dual, 1, FIELD(event_char), 0x017E}, {dual, 1, FIELD(error_char), 0x0024},
      {dual, 0, FIELD(bit_mode), 0x02},   {dual, 0, FIELD(bit_mask), 0xF0},
      {dual, 0, FIELD(latency_timer), 16}, {dual, 1, FIELD(latency_timer), 2},
      {dual, 1, FIELD(divisor), 0x4138},  {dual, 1, FIELD(divisor_index), 0x0102},
      {dual, 0, FIELD(divisor), 0},       {single, 0, FIELD(divisor), 0x001A},
      {single, 0, FIELD(divisor_index), 1},
  };
  for (const auto &e : expected)
    EXPECT_EQ(e.field.get(State(e.chip, e.channel)), e.value) << e.field.name << " of chip " << e.chip
                                                               << " channel " << e.channel;
  unsigned char reply[2] = {};
  EXPECT_EQ(In(d.get(), 10, 2, reply, 1), 1);
  EXPECT_EQ(reply[0], 2);
  EXPECT_EQ(In(d.get(), 12, 1, reply, 1), 1);
  EXPECT_EQ(reply[0], 0xF0);
  EXPECT_EQ(Out(d.get(), 4, 8, 3), -EPIPE) << "no port 3 on a two-channel chip";
}

TEST_F(SimControlTest, ResetAndPurgesClearQueuesAndCount) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "aaaa", 4);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 1, 2), 0);  // receive purge of B
  EXPECT_EQ(Out(h.get(), 0, 2, 1), 0);  // transmit purge of A
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 4u);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 1), 0u);
  EXPECT_EQ(std::vector<uint32_t>({State(chip, 0).rx_purges, State(chip, 0).tx_purges, State(chip, 1).rx_purges}),
            std::vector<uint32_t>({0, 1, 1}));
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 0, 0), 0);  // reset: the whole chip
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0) + vexa_sim_rx_pending(chip, 1), 0u);
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
  EXPECT_EQ(std::vector<int>(reply, reply + 3), std::vector<int>({0xB1, 0x60, 0xEE})) << "nothing beyond the reply";
  reply[0] = reply[1] = 0;
  EXPECT_EQ(In(h.get(), 5, 2, reply, 1), 1);
  EXPECT_EQ(std::vector<int>(reply, reply + 2), std::vector<int>({0xB1, 0}));
  EXPECT_EQ(In(h.get(), 5, 1, reply, 2), 2);
  EXPECT_EQ(reply[0], 0x01) << "channel A status is still zero";
}

TEST_F(SimControlTest, OnlyRequestsTheChipKnowsAreAnswered) {
  AddChip(Chip());
  UsbHandle h = OpenNth(0);
  const struct {
    const char *what;
    int type, request, value, length, result;
  } rows[] = {
      {"device descriptor, as any device answers", 0x80, 6, 0x0100, 18, 18},
      {"a descriptor the device lacks", 0x80, 6, 0x0F00, 18, -EPIPE},
      {"class request", 0xA1, 1, 0, 2, -EPIPE},
      {"vendor request to the interface", 0x41, 1, 0x0101, 0, -EPIPE},
      {"unknown vendor request 8", 0x40, 8, 0, 0, -EPIPE},
      {"unknown vendor request 0x20", 0x40, 0x20, 0, 0, -EPIPE},
      {"a reading request sent as OUT", 0x40, 5, 0, 0, -EPIPE},
      {"a setting request sent as IN", 0xC0, 4, 0, 2, -EPIPE},
  };
  for (const auto &row : rows) {
    char reply[18] = {};
    EXPECT_EQ(usb_control_msg(h.get(), row.type, row.request, row.value, 1, row.length ? reply : nullptr,
                              row.length, 100),
              row.result)
        << row.what;
  }
}

TEST_F(SimControlTest, TimerAndBitModeRequestsOnlyOnCapableChips) {
  const struct {
    uint16_t bcd;
    const char *serial;
    bool answers;
  } cases[] = {{0x0500, "S", true}, {0x0400, "S", true}, {0x0200, nullptr, true},
               {0x0200, "S", false}, {0x0600, nullptr, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "bcd " << std::hex << c.bcd << (c.serial ? " with" : " without") << " serial");
    vexa_sim_reset();
    vexa_sim_chip_config config = Chip(1, 64, 64, c.serial);
    config.bcd_device = c.bcd;
    int chip = AddChip(config);
    UsbHandle h = OpenNth(0);
    unsigned char reply[1];
    int expect_out = c.answers ? 0 : -EPIPE, expect_in = c.answers ? 1 : -EPIPE;
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

  EXPECT_EQ(ReadWord(s.get(), 7), 0xFFFF) << "a new part reads erased";
  EXPECT_EQ(Out(s.get(), 0x91, 0xABCD, 5), 0);
  EXPECT_EQ(ReadWord(s.get(), 5), 0xABCD);
  EXPECT_EQ(ReadWord(s.get(), 0x100 + 5), 0xABCD) << "addresses wrap at the part's size";

  // The size probe: a write to word 192 lands where the part wraps it.
  EXPECT_EQ(Out(s.get(), 0x91, 0x00C0, 192), 0);
  EXPECT_EQ(Out(b.get(), 0x91, 0x00C0, 192), 0);
  EXPECT_EQ(SimWord(small, 0), 0x00C0);
  EXPECT_EQ(SimWord(big, 192), 0x00C0);
  EXPECT_EQ(SimWord(big, 64), 0xFFFF);

  // Without wrapping, high addresses are ignored and read erased.
  EXPECT_EQ(Out(l.get(), 0x91, 0x00C0, 192), 0);
  EXPECT_EQ(SimWord(large, 0), 0xFFFF);
  EXPECT_EQ(SimWord(large, 64), 0xFFFF);
  vexa_sim_eeprom_set(large, 10, 0x1234);
  EXPECT_EQ(ReadWord(l.get(), 10 + 128), 0xFFFF);

  vexa_sim_eeprom_fill(small, 0x0000);
  EXPECT_EQ(Out(s.get(), 0x92, 0, 0), 0);
  for (unsigned address : {0u, 31u, 63u}) EXPECT_EQ(SimWord(small, address), 0xFFFF) << "erase sets every word";

  // No part fitted: reads zero, writes vanish.
  EXPECT_EQ(Out(n.get(), 0x91, 0x5555, 1), 0);
  EXPECT_EQ(ReadWord(n.get(), 1), 0x0000);
  EXPECT_EQ(SimWord(none, 1), 0x0000);
}

TEST_F(SimControlTest, ControlFaultsFailOrShortenButShortRepliesStillAct) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  Inject(Fault(VEXA_SIM_FAULT_CONTROL, -EPIPE, chip, 0, 1, 1));
  EXPECT_EQ(Out(h.get(), 0, 1, 1), 0);
  EXPECT_EQ(Out(h.get(), 0, 1, 1), -EPIPE);
  EXPECT_EQ(Out(h.get(), 0, 1, 1), 0);
  EXPECT_EQ(State(chip, 0).rx_purges, 2u) << "the failed request did nothing";

  Inject(Fault(VEXA_SIM_FAULT_CONTROL, 1, chip, 0x90, 0, 1));
  vexa_sim_eeprom_set(chip, 3, 0x1234);
  unsigned char reply[2] = {0, 0};
  EXPECT_EQ(In(h.get(), 0x90, 3, reply, 2), 1);
  EXPECT_EQ(std::vector<int>(reply, reply + 2), std::vector<int>({0x34, 0x00}));

  Inject(Fault(VEXA_SIM_FAULT_CONTROL, 0, chip, 4, 0, 1));
  EXPECT_EQ(Out(h.get(), 4, 0x0008, 1), 0);
  EXPECT_EQ(State(chip, 0).line_control, 0x0008) << "a short count still acts";

  Inject(Fault(VEXA_SIM_FAULT_CONTROL, -EIO, chip, 1, 0, -1, 1));  // channel B only
  EXPECT_EQ(Out(h.get(), 1, 0x0101, 1), 0);
  EXPECT_EQ(Out(h.get(), 1, 0x0101, 2), -EIO);
  EXPECT_EQ(State(chip, 1).dtr, 0);
}
