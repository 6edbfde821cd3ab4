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

}  // namespace

class SimControlTest : public SimTest {};

// The library's own tests pin the state each request leaves for the words it
// sends; here the addressing they do not reach: port 0 taken as A, a port the
// chip lacks, the latency timer's low byte, the divisor's port on the dual
// chip only, and the values read back.
TEST_F(SimControlTest, RequestsReachTheAddressedChannel) {
  int dual = AddChip(Chip(2));
  int single = AddChip(Chip(1));
  UsbHandle d = OpenNth(0), s = OpenNth(1);
  EXPECT_EQ(Out(d.get(), 1, 0x0303, 0), 0);         // DTR and RTS on, port 0 is A
  EXPECT_EQ(Out(d.get(), 1, 0x0100, 1), 0);         // DTR off, RTS untouched
  EXPECT_EQ(Out(d.get(), 9, 0x0102, 2), 0);         // latency of B takes the low byte
  EXPECT_EQ(Out(d.get(), 6, 0x017E, 2), 0);         // event character of B
  EXPECT_EQ(Out(d.get(), 11, 0x02F0, 1), 0);        // bit mode 2, mask 0xF0 on A
  EXPECT_EQ(Out(d.get(), 3, 0x4138, 0x0102), 0);    // the dual chip's divisor carries a port
  EXPECT_EQ(Out(s.get(), 3, 0x001A, 0x0001), 0);    // a single chip's wIndex is the extension only
  const vexa_sim_channel_state a = State(dual, 0), b = State(dual, 1);
  EXPECT_EQ(std::vector<int>({a.dtr, a.rts, b.dtr, b.rts}), std::vector<int>({0, 1, 0, 0}));
  EXPECT_EQ(std::vector<int>({a.latency_timer, b.latency_timer, b.event_char, a.bit_mode, a.bit_mask}),
            std::vector<int>({16, 2, 0x017E, 2, 0xF0}));
  EXPECT_EQ(std::vector<int>({a.divisor, b.divisor, b.divisor_index, State(single, 0).divisor_index}),
            std::vector<int>({0, 0x4138, 0x0102, 1}));
  unsigned char reply[1] = {};
  EXPECT_EQ(In(d.get(), 10, 2, reply, 1), 1);
  EXPECT_EQ(reply[0], 2);
  EXPECT_EQ(In(d.get(), 12, 1, reply, 1), 1);
  EXPECT_EQ(reply[0], 0xF0);
  EXPECT_EQ(Out(d.get(), 4, 8, 3), -EPIPE) << "no port 3 on a two-channel chip";
}

// The purge and reset counters are pinned by the library's tests; what only
// the chip shows is which queues they empty.
TEST_F(SimControlTest, PurgeEmptiesItsChannelsQueueAndResetBoth) {
  int chip = AddChip(Chip(2));
  UsbHandle h = OpenNth(0);
  vexa_sim_queue_rx(chip, 0, "aaaa", 4);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 1, 2), 0);  // receive purge of B
  EXPECT_EQ(Out(h.get(), 0, 2, 1), 0);  // transmit purge of A
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0), 4u);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 1), 0u);
  vexa_sim_queue_rx(chip, 1, "bbbb", 4);
  EXPECT_EQ(Out(h.get(), 0, 0, 0), 0);
  EXPECT_EQ(vexa_sim_rx_pending(chip, 0) + vexa_sim_rx_pending(chip, 1), 0u);
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

// Word access, erase and the size probe on parts that wrap or not are pinned
// by the EEPROM tests through the library; here the raw addressing and a
// chip without a part.
TEST_F(SimControlTest, EepromAddressesWrapAndAMissingPartReadsZero) {
  AddChip(Chip(1, 64, 64));
  int none = AddChip(Chip(1, 64, 0));
  UsbHandle s = OpenNth(0), n = OpenNth(1);
  EXPECT_EQ(ReadWord(s.get(), 7), 0xFFFF) << "a new part reads erased";
  EXPECT_EQ(Out(s.get(), 0x91, 0xABCD, 5), 0);
  EXPECT_EQ(ReadWord(s.get(), 0x100 + 5), 0xABCD);
  EXPECT_EQ(Out(n.get(), 0x91, 0x5555, 1), 0);
  EXPECT_EQ(ReadWord(n.get(), 1), 0x0000);
  uint16_t word = 0xEEEE;
  EXPECT_EQ(vexa_sim_eeprom_get(none, 1, &word), 0);
  EXPECT_EQ(word, 0x0000) << "the write vanished";
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
