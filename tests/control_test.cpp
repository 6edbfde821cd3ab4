// The exported control functions against the simulated chip: what reaches the
// wire (request log, channel state), what the record keeps, and the statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device.h"
#include "sim_fixture.h"

namespace {

struct Request {
  uint8_t type;
  uint8_t request;
  uint16_t value;
  uint16_t index;
};

bool operator==(const Request &a, const Request &b) {
  return a.type == b.type && a.request == b.request && a.value == b.value && a.index == b.index;
}

std::ostream &operator<<(std::ostream &out, const Request &r) {
  char text[64];
  std::snprintf(text, sizeof text, "{type 0x%02X, req %u, value 0x%04X, index 0x%04X}", r.type,
                r.request, r.value, r.index);
  return out << text;
}

class ControlTest : public SimTest {
 protected:
  // Opens `index` and forgets what the open sequence itself sent.
  KX_HANDLE OpenQuiet(int index) {
    KX_HANDLE handle = Open(index);
    vexa_sim_log_clear();
    return handle;
  }

  static std::vector<Request> Sent(int request = -1) {
    std::vector<Request> sent;
    for (const auto &entry : ControlLog(request))
      sent.push_back({entry.request_type, entry.request, entry.value, entry.index});
    return sent;
  }

  static void FailControl(int request, int result = -5, int skip = 0, int count = 1) {
    vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_CONTROL, result, -1, request, skip, count);
    ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  }

  static void FailStrings() {
    vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_STRING, -5);
    ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  }
};

Request Out(uint8_t request, uint16_t value, uint16_t index) { return {0x40, request, value, index}; }

TEST_F(ControlTest, LineControlWordAndBreak) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  // Before any line format the break request carries the flag alone.
  EXPECT_EQ(KX_SetBreakOn(h), KX_OK);
  EXPECT_EQ(KX_SetDataCharacteristics(h, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE), KX_OK);
  EXPECT_EQ(KX_SetDataCharacteristics(h, KX_BITS_8, KX_STOP_BITS_2, KX_PARITY_ODD), KX_OK);
  EXPECT_EQ(KX_SetDataCharacteristics(h, KX_BITS_8, KX_STOP_BITS_2, KX_PARITY_EVEN), KX_OK);
  EXPECT_EQ(KX_SetBreakOn(h), KX_OK);
  EXPECT_EQ(State(chip, 0).line_control, 0x5208);
  EXPECT_EQ(KX_SetBreakOff(h), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<Request>{Out(4, 0x4000, 1), Out(4, 0x0008, 1), Out(4, 0x1108, 1),
                                          Out(4, 0x1208, 1), Out(4, 0x5208, 1), Out(4, 0x1208, 1)}));
  const uint8_t acknowledged[3] = {KX_STOP_BITS_2, KX_PARITY_EVEN, KX_BITS_8};
  EXPECT_EQ(std::memcmp(as_device(h)->line_control, acknowledged, 3), 0);
}

TEST_F(ControlTest, FailedLineControlStillSetsTheWordThatBreakUses) {
  AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  ASSERT_EQ(KX_SetDataCharacteristics(h, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE), KX_OK);
  FailControl(4);
  EXPECT_EQ(KX_SetDataCharacteristics(h, KX_BITS_7, KX_STOP_BITS_2, KX_PARITY_ODD), KX_ERR_IO);
  const uint8_t first[3] = {KX_STOP_BITS_1, KX_PARITY_NONE, KX_BITS_8};
  EXPECT_EQ(std::memcmp(as_device(h)->line_control, first, 3), 0) << "only acknowledged formats";
  vexa_sim_log_clear();
  EXPECT_EQ(KX_SetBreakOn(h), KX_OK);
  EXPECT_EQ(Sent(), std::vector<Request>{Out(4, 0x5107, 1)});
}

TEST_F(ControlTest, FlowControlWordsOnBothChannels) {
  int chip = AddDual("D1", "Dual");
  KX_HANDLE a = Open(0);
  KX_HANDLE b = Open(1);
  vexa_sim_log_clear();
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_OK);
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_RTS_CTS, 0x11, 0x13), KX_OK);
  EXPECT_EQ(KX_SetFlowControl(b, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<Request>{Out(2, 0x1311, 0x0401), Out(2, 0x0000, 0x0101),
                                          Out(2, 0x1311, 0x0402)}));
  EXPECT_EQ(State(chip, 0).flow_mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(State(chip, 1).flow_mode, KX_FLOW_XON_XOFF);
  EXPECT_EQ(State(chip, 1).flow_chars, 0x1311);
  EXPECT_EQ(as_device(a)->flow_control_value, KX_FLOW_RTS_CTS);

  FailControl(2);
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_DTR_DSR, 0, 0), KX_ERR_IO);
  EXPECT_EQ(as_device(a)->flow_control_value, KX_FLOW_RTS_CTS);
}

TEST_F(ControlTest, ModemControlLines) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  norvec_device *device = as_device(h);
  device->modem_control = 0x80;  // a bit that no line request may touch
  EXPECT_EQ(KX_SetDtr(h), KX_OK);
  EXPECT_EQ(KX_SetRts(h), KX_OK);
  EXPECT_EQ(KX_ClrDtr(h), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<Request>{Out(1, 0x0101, 1), Out(1, 0x0202, 1), Out(1, 0x0100, 1)}));
  EXPECT_EQ(device->modem_control, 0x82);
  EXPECT_EQ(State(chip, 0).dtr, 0);
  EXPECT_EQ(State(chip, 0).rts, 1);

  FailControl(1);
  EXPECT_EQ(KX_ClrRts(h), KX_ERR_IO);
  EXPECT_EQ(device->modem_control, 0x82) << "a refused request changes nothing";
  EXPECT_EQ(KX_ClrRts(h), KX_OK);
  EXPECT_EQ(device->modem_control, 0x80);
  EXPECT_EQ(State(chip, 0).rts, 0);
}

TEST_F(ControlTest, SpecialCharactersAndAFailedFirstRequest) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  // Any non-zero enable sends only 0x01 in the high byte.
  EXPECT_EQ(KX_SetChars(h, 0x7E, 5, 0x55, 0), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<Request>{Out(6, 0x017E, 1), Out(7, 0x0055, 1)}));
  const uint8_t stored[4] = {0x7E, 5, 0x55, 0};
  EXPECT_EQ(std::memcmp(as_device(h)->special_chars, stored, 4), 0);

  vexa_sim_log_clear();
  FailControl(6);
  EXPECT_EQ(KX_SetChars(h, 0x0D, 1, 0x0A, 1), KX_ERR_IO);
  EXPECT_EQ(Sent(7).size(), 0u) << "the second character must not follow a failed first";
  EXPECT_EQ(std::memcmp(as_device(h)->special_chars, stored, 4), 0);
  EXPECT_EQ(State(chip, 0).error_char, 0x0055);

  FailControl(7);
  EXPECT_EQ(KX_SetChars(h, 0x0D, 1, 0x0A, 1), KX_ERR_IO);
  EXPECT_EQ(std::memcmp(as_device(h)->special_chars, stored, 4), 0);
}

TEST_F(ControlTest, PurgeSendsSixReceiveRequestsThenTheTransmitOne) {
  int chip = AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = OpenQuiet(1);
  EXPECT_EQ(KX_Purge(b, KX_PURGE_RX), KX_OK);
  EXPECT_EQ(Sent(), std::vector<Request>(6, Out(0, 1, 2)));
  vexa_sim_log_clear();
  EXPECT_EQ(KX_Purge(b, KX_PURGE_TX), KX_OK);
  EXPECT_EQ(Sent(), std::vector<Request>{Out(0, 2, 2)});
  vexa_sim_log_clear();
  EXPECT_EQ(KX_Purge(b, KX_PURGE_RX | KX_PURGE_TX | 0x100), KX_OK);
  std::vector<Request> both(6, Out(0, 1, 2));
  both.push_back(Out(0, 2, 2));
  EXPECT_EQ(Sent(), both);
  EXPECT_EQ(State(chip, 1).rx_purges, 12u);
  EXPECT_EQ(State(chip, 1).tx_purges, 2u);
  EXPECT_EQ(State(chip, 0).rx_purges, 0u);

  // Neither direction: nothing to do, and nothing sent.
  vexa_sim_log_clear();
  EXPECT_EQ(KX_Purge(b, 0), KX_OK);
  EXPECT_EQ(KX_Purge(b, 0x4), KX_OK);
  EXPECT_EQ(Sent().size(), 0u);
}

// Waits (blocking, with a deadline) until `n` bytes sit in the receive ring.
void ReadIntoRing(KX_HANDLE h, int chip, const char *bytes, uint32_t n, uint32_t keep) {
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, bytes, n), 0);
  ASSERT_EQ(KX_SetTimeouts(h, 5000, 0), KX_OK);
  char first[64];
  uint32_t got = 0;
  ASSERT_EQ(KX_Read(h, first, n - keep, &got), KX_OK);
  ASSERT_EQ(got, n - keep);
}

TEST_F(ControlTest, ReceivePurgeEmptiesTheRingOnlyWhenTheSixthRequestSucceeds) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = Open(0);
  // Read part of one packet so that the rest is certainly in the ring.
  ReadIntoRing(h, chip, "abcdefghij", 10, 6);
  uint32_t queued = 0;
  ASSERT_EQ(KX_GetQueueStatus(h, &queued), KX_OK);
  ASSERT_EQ(queued, 6u);

  vexa_sim_log_clear();
  FailControl(0, -5, 5, 1);  // the sixth fails
  EXPECT_EQ(KX_Purge(h, KX_PURGE_RX | KX_PURGE_TX), KX_ERR_IO);
  EXPECT_EQ(Sent(), std::vector<Request>(6, Out(0, 1, 1))) << "no transmit purge after a failure";
  ASSERT_EQ(KX_GetQueueStatus(h, &queued), KX_OK);
  EXPECT_EQ(queued, 6u) << "the ring stays as it was";

  vexa_sim_clear_faults();
  FailControl(0, -5, 0, 5);  // the first five fail, the sixth counts
  EXPECT_EQ(KX_Purge(h, KX_PURGE_RX), KX_OK);
  ASSERT_EQ(KX_GetQueueStatus(h, &queued), KX_OK);
  EXPECT_EQ(queued, 0u);

  vexa_sim_clear_faults();
  FailControl(0, -5, 6, 1);  // the receive side passes, the transmit one fails
  EXPECT_EQ(KX_Purge(h, KX_PURGE_RX | KX_PURGE_TX), KX_ERR_IO);
}

TEST_F(ControlTest, ResetUsesIndexZeroOnChannelBThenPurgesBoth) {
  int chip = AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = OpenQuiet(1);
  EXPECT_EQ(KX_ResetDevice(b), KX_OK);
  std::vector<Request> expected{Out(0, 0, 0)};
  expected.insert(expected.end(), 6, Out(0, 1, 2));
  expected.push_back(Out(0, 2, 2));
  EXPECT_EQ(Sent(), expected);
  EXPECT_EQ(State(chip, 0).resets, 1u) << "the reset reaches the whole chip";
  EXPECT_EQ(State(chip, 1).resets, 1u);
}

TEST_F(ControlTest, ResetDeviceFailures) {
  AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  FailControl(0);
  EXPECT_EQ(KX_ResetDevice(h), KX_ERR_IO);
  EXPECT_EQ(Sent(), std::vector<Request>{Out(0, 0, 0)}) << "no purge after a failed reset";

  vexa_sim_log_clear();
  FailControl(0, -5, 7, 1);  // reset and receive purge pass, transmit purge fails
  EXPECT_EQ(KX_ResetDevice(h), KX_ERR_IO);
  EXPECT_EQ(Sent().size(), 8u);
}

TEST_F(ControlTest, LatencyTimerAndBitModeOnlyOnCapableChips) {
  struct Chip {
    uint16_t bcd;
    const char *serial;
    bool capable;
  };
  const Chip chips[] = {{0x0400, "S4", true},  {0x0200, nullptr, true}, {0x0200, "S2", false},
                        {0x0600, "S6", false}, {0x0500, "D5", true}};
  for (const Chip &c : chips) {
    if (c.bcd == 0x0500)
      AddDual(c.serial, "Dual");
    else
      AddSingle(c.serial, "Single", c.bcd);
  }
  for (int index = 0; index < 5; ++index) {
    const Chip &c = chips[index];
    SCOPED_TRACE(testing::Message() << "bcdDevice 0x" << std::hex << c.bcd);
    KX_HANDLE h = OpenQuiet(index);
    unsigned char latency = 0xEE, bits = 0xEE;
    KX_STATUS expected = c.capable ? KX_OK : KX_ERR_UNSUPPORTED;
    EXPECT_EQ(KX_SetLatencyTimer(h, 40), expected);
    EXPECT_EQ(KX_GetLatencyTimer(h, &latency), expected);
    EXPECT_EQ(KX_SetBitMode(h, 0xF0, 0x01), expected);
    EXPECT_EQ(KX_GetBitMode(h, &bits), expected);
    if (c.capable) {
      EXPECT_EQ(Sent(), (std::vector<Request>{Out(9, 40, 1), {0xC0, 10, 0, 1}, Out(11, 0x01F0, 1),
                                              {0xC0, 12, 0, 1}}));
      EXPECT_EQ(latency, 40);
      EXPECT_EQ(State(index, 0).latency_timer, 40);
      EXPECT_EQ(State(index, 0).bit_mode, 0x01);
      EXPECT_EQ(State(index, 0).bit_mask, 0xF0);
      EXPECT_EQ(as_device(h)->latency_timer.load(), 40);
      const uint8_t mode[2] = {0xF0, 0x01};
      EXPECT_EQ(std::memcmp(as_device(h)->bit_mode, mode, 2), 0);
    } else {
      EXPECT_EQ(Sent().size(), 0u);
      EXPECT_EQ(latency, 0xEE);
      EXPECT_EQ(bits, 0xEE);
    }
    Close(h);
  }
}

TEST_F(ControlTest, ShortRepliesAreFailuresAndStoreNothing) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  for (int result : {0, -5}) {
    SCOPED_TRACE(result);
    unsigned char value = 0xEE;
    FailControl(10, result);
    EXPECT_EQ(KX_GetLatencyTimer(h, &value), KX_ERR_IO);
    FailControl(12, result);
    EXPECT_EQ(KX_GetBitMode(h, &value), KX_ERR_IO);
    EXPECT_EQ(value, 0xEE);
  }
  FailControl(9);
  EXPECT_EQ(KX_SetLatencyTimer(h, 99), KX_ERR_IO);
  EXPECT_NE(as_device(h)->latency_timer.load(), 99);
  FailControl(11);
  EXPECT_EQ(KX_SetBitMode(h, 1, 2), KX_ERR_IO);
  EXPECT_EQ(as_device(h)->bit_mode[1], 0);
  EXPECT_EQ(State(chip, 0).latency_timer, 16) << "the chip's value is untouched";
}

TEST_F(ControlTest, ModemStatusReadAtOpenKeepsTheUpperNibble) {
  int chip = AddSingle("S1", "Single");
  // A silent channel sends no packets, so the value can come only from the
  // status request of the open sequence.
  ASSERT_EQ(vexa_sim_set_silent(chip, 0, 1), 0);
  ASSERT_EQ(vexa_sim_set_status(chip, 0, 0xB0, 0x60), 0);
  KX_HANDLE h = Open(0);
  unsigned long status = 0xDEAD;
  EXPECT_EQ(KX_GetModemStatus(h, &status), KX_OK);
  EXPECT_EQ(status, 0xB0u);
  EXPECT_EQ(as_device(h)->line_status.load(), 0x60);
  Close(h);

  // One byte of the two: nothing is stored.
  FailControl(5, 1);
  h = Open(0);
  EXPECT_EQ(KX_GetModemStatus(h, &status), KX_OK);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(as_device(h)->line_status.load(), 0);
}

TEST_F(ControlTest, ModemStatusClearsOnlyTheModemEvent) {
  int chip = AddSingle("S1", "Single");
  ASSERT_EQ(vexa_sim_set_silent(chip, 0, 1), 0);
  KX_HANDLE h = OpenQuiet(0);
  as_device(h)->event_status.store(KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED | 0x40);
  unsigned long status = 0;
  EXPECT_EQ(KX_GetModemStatus(h, &status), KX_OK);
  EXPECT_EQ(as_device(h)->event_status.load(), KX_EVENT_RX_DATA | 0x40u);
  EXPECT_EQ(Sent().size(), 0u) << "the status comes from the record, not a request";
}

TEST_F(ControlTest, BaudRateIndexByChipAndChannel) {
  AddSingle("S4", "Single", 0x0400);
  AddSingle("S2", "Single", 0x0200);
  AddDual("D1", "Dual");
  struct Case {
    int index;
    unsigned long rate;
    uint16_t divisor, wIndex;
  };
  const Case cases[] = {
      {0, 9500, 0x813B, 0x0001},     {0, 9600, 0x4138, 0x0000},    {0, 184, 0x3FB0, 0x0001},
      {1, 9500, 0x013C, 0x0000},     {1, 14400, 0x80D0, 0x0000},   {1, 1600000, 0, 0},
      {2, 9500, 0x813B, 0x0101},     {2, 115200, 0x001A, 0x0001},  {2, 3090000, 0x0000, 0x0001},
      {3, 1600000, 0xC001, 0x0102},  {3, 921600, 0x8003, 0x0002},  {3, 14400, 0x00D0, 0x0102},
      {0, 57600, 0x0034, 0x0000},    {1, 2000000, 0x4001, 0x0000},
  };
  KX_HANDLE handles[4] = {Open(0), Open(1), Open(2), Open(3)};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "channel " << c.index << ", " << c.rate << " baud");
    vexa_sim_log_clear();
    if (c.divisor == 0 && c.wIndex == 0) {
      EXPECT_EQ(KX_SetBaudRate(handles[c.index], c.rate), KX_ERR_BAUD_RATE);
      EXPECT_EQ(Sent().size(), 0u);
      continue;
    }
    EXPECT_EQ(KX_SetBaudRate(handles[c.index], c.rate), KX_OK);
    EXPECT_EQ(Sent(), std::vector<Request>{Out(3, c.divisor, c.wIndex)});
    EXPECT_EQ(as_device(handles[c.index])->baud_rate, c.rate);
  }
}

TEST_F(ControlTest, RefusedRatesSendNothingAndAFailedRequestIsABaudError) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  ASSERT_EQ(KX_SetBaudRate(h, 9600), KX_OK);
  vexa_sim_log_clear();
  for (unsigned long rate : {0ul, 183ul, 2900000ul, 3090001ul, 4000000ul, 0xFFFFFFFFul}) {
    EXPECT_EQ(KX_SetBaudRate(h, rate), KX_ERR_BAUD_RATE) << rate;
    EXPECT_EQ(as_device(h)->baud_rate, 9600u) << rate;
  }
  EXPECT_EQ(Sent().size(), 0u);

  FailControl(3);
  EXPECT_EQ(KX_SetBaudRate(h, 19200), KX_ERR_BAUD_RATE);
  EXPECT_EQ(as_device(h)->baud_rate, 19200u) << "the rate is recorded whatever the chip said";
  EXPECT_EQ(State(chip, 0).divisor, 0x4138) << "the chip keeps its previous divisor";
}

TEST_F(ControlTest, RawDivisorAlwaysCarriesThePortIndex) {
  AddSingle("S6", "Single", 0x0600);
  AddDual("D1", "Dual");
  KX_HANDLE single = Open(0);
  Open(1);
  KX_HANDLE b = Open(2);
  vexa_sim_log_clear();
  EXPECT_EQ(KX_SetDivisor(single, 0xC001), KX_OK);
  EXPECT_EQ(KX_SetDivisor(b, 0xC001), KX_OK);
  EXPECT_EQ(Sent(), (std::vector<Request>{Out(3, 0xC001, 1), Out(3, 0xC001, 2)}));
  EXPECT_EQ(as_device(b)->baud_rate, 0u);
  FailControl(3);
  EXPECT_EQ(KX_SetDivisor(b, 1), KX_ERR_IO);
}

TEST_F(ControlTest, DeviceInfoOnBothChannelsOfTheDualChip) {
  AddDual("DS1234", "Dual Bridge");
  KX_HANDLE handles[2] = {Open(0), Open(1)};
  const char letters[2] = {'A', 'B'};
  for (int channel = 0; channel < 2; ++channel) {
    unsigned long type = 99, id = 0;
    char serial[19], description[67];
    EXPECT_EQ(KX_GetDeviceInfo(handles[channel], &type, &id, serial, description, nullptr), KX_OK);
    EXPECT_EQ(type, KX_DEVICE_DUAL);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_EQ(std::string(serial), std::string("DS1234 ") + letters[channel]);
    EXPECT_EQ(std::string(description), std::string("Dual Bridge ") + letters[channel]);
  }
}

TEST_F(ControlTest, DeviceInfoFillsExactlyTheDocumentedBufferLengths) {
  const std::string serial16 = "ABCDEFGHIJKLMNOPQRST";  // longer than 16 on purpose
  const std::string desc64(70, 'd');
  AddSingle(serial16.c_str(), desc64.c_str());
  AddDual(serial16.c_str(), desc64.c_str());
  struct Expect {
    int index;
    size_t serial_room, description_room;
    const char *suffix;
  };
  for (const Expect &e : {Expect{0, 17, 65, ""}, Expect{2, 19, 67, " B"}}) {
    SCOPED_TRACE(e.index);
    KX_HANDLE h = Open(e.index);
    char serial[32], description[80];
    std::memset(serial, '#', sizeof serial);
    std::memset(description, '#', sizeof description);
    EXPECT_EQ(KX_GetDeviceInfo(h, nullptr, nullptr, serial, description, nullptr), KX_OK);
    EXPECT_EQ(std::string(serial), serial16.substr(0, 16) + e.suffix);
    EXPECT_EQ(std::string(description), desc64.substr(0, 64) + e.suffix);
    for (size_t i = e.serial_room; i < sizeof serial; ++i) ASSERT_EQ(serial[i], '#') << i;
    for (size_t i = e.description_room; i < sizeof description; ++i)
      ASSERT_EQ(description[i], '#') << i;
  }
}

TEST_F(ControlTest, DeviceInfoWithoutStrings) {
  vexa_sim_chip_config config = {};
  config.bcd_device = 0x0600;
  AddChip(config);  // neither a serial number nor a product string
  AddSingle("R2", "Rev2", 0x0200);
  KX_HANDLE bare = Open(0);
  KX_HANDLE r2 = Open(1);

  // A string fault that no request consumes stays armed for the next one:
  // it shows that the bare chip's call asked for no string at all.
  vexa_sim_fault fault = Fault(VEXA_SIM_FAULT_STRING, -5, -1, -1, 0, 1);
  ASSERT_EQ(vexa_sim_add_fault(&fault), 0);
  unsigned long type = 99, id = 0;
  char serial[19] = "untouched";
  char description[67] = "old";
  EXPECT_EQ(KX_GetDeviceInfo(bare, &type, &id, serial, description, nullptr), KX_OK);
  EXPECT_EQ(type, KX_DEVICE_OTHER);
  EXPECT_EQ(id, 0x04036001u);
  EXPECT_STREQ(serial, "untouched");
  EXPECT_STREQ(description, "");

  EXPECT_EQ(KX_GetDeviceInfo(r2, &type, nullptr, serial, nullptr, nullptr), KX_OK);
  EXPECT_EQ(type, KX_DEVICE_BCD0200);
  EXPECT_STREQ(serial, "") << "the armed fault fails this read";
  EXPECT_EQ(KX_GetDeviceInfo(r2, nullptr, nullptr, serial, description, nullptr), KX_OK);
  EXPECT_STREQ(serial, "R2");
  EXPECT_STREQ(description, "Rev2");
  EXPECT_EQ(KX_GetDeviceInfo(r2, nullptr, nullptr, nullptr, nullptr, nullptr), KX_OK);
}

TEST_F(ControlTest, FailedStringReadsGiveEmptyStringsWithoutChannelLetter) {
  AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = Open(1);
  FailStrings();
  char serial[19] = "xxxxxxxxxxxxxxxxxx";
  char description[67] = "yyyy";
  EXPECT_EQ(KX_GetDeviceInfo(b, nullptr, nullptr, serial, description, nullptr), KX_OK);
  EXPECT_STREQ(serial, "");
  EXPECT_STREQ(description, "");
}

TEST_F(ControlTest, NullHandleAndNullOutputs) {
  unsigned char byte = 0;
  unsigned long word = 0;
  EXPECT_EQ(KX_SetBaudRate(nullptr, 9600), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetDivisor(nullptr, 1), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetDataCharacteristics(nullptr, 8, 0, 0), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetFlowControl(nullptr, 0, 0, 0), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetDtr(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ClrDtr(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetRts(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ClrRts(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetChars(nullptr, 0, 0, 0, 0), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_Purge(nullptr, 3), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetBreakOn(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetBreakOff(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_ResetDevice(nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetLatencyTimer(nullptr, 1), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetLatencyTimer(nullptr, &byte), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_SetBitMode(nullptr, 0, 0), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetBitMode(nullptr, &byte), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetModemStatus(nullptr, &word), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetDeviceInfo(nullptr, &word, &word, nullptr, nullptr, nullptr), KX_ERR_PARAMETER);

  AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  EXPECT_EQ(KX_GetLatencyTimer(h, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetBitMode(h, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(KX_GetModemStatus(h, nullptr), KX_ERR_PARAMETER);
  EXPECT_EQ(Sent().size(), 0u);
}

TEST_F(ControlTest, UnsupportedFunctionsRefuseWhateverTheArguments) {
  uint32_t returned = 0;
  EXPECT_EQ(KX_IoCtl(nullptr, 0, nullptr, 0, nullptr, 0, nullptr), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_SetResetPipeRetryCount(nullptr, 3), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_ResetPort(nullptr), KX_ERR_UNSUPPORTED);
  AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  char buffer[4] = {};
  EXPECT_EQ(KX_IoCtl(h, 1, buffer, 4, buffer, 4, &returned), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_SetResetPipeRetryCount(h, 3), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(KX_ResetPort(h), KX_ERR_UNSUPPORTED);
  EXPECT_EQ(Sent().size(), 0u);
}

}  // namespace
