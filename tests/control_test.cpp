// The exported control functions against the simulated chip: what reaches the
// wire (request log, channel state), what the record keeps, and the statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "device.h"
#include "sim_fixture.h"

namespace {

// A control request as {bmRequestType, bRequest, wValue, wIndex}.
using Request = std::tuple<int, int, int, int>;
Request Out(int request, int value, int index) { return Request{0x40, request, value, index}; }
Request In(int request, int index) { return Request{0xC0, request, 0, index}; }
using Requests = std::vector<Request>;

// Six receive purges and then the transmit one, on one port.
Requests PurgeBoth(uint16_t port) {
  Requests both(6, Out(0, 1, port));
  both.push_back(Out(0, 2, port));
  return both;
}

class ControlTest : public SimTest {
 protected:
  // Opens `index` and forgets what the open sequence itself sent.
  KX_HANDLE OpenQuiet(int index) {
    KX_HANDLE handle = Open(index);
    vexa_sim_log_clear();
    return handle;
  }
  // The control requests sent since the log was last cleared; clears it.
  static Requests Sent(int request = -1) {
    Requests sent;
    for (const auto &e : ControlLog(request))
      sent.emplace_back(e.request_type, e.request, e.value, e.index);
    vexa_sim_log_clear();
    return sent;
  }
  static void FailControl(int request, int result = -5, int skip = 0, int count = 1) {
    Inject(Fault(VEXA_SIM_FAULT_CONTROL, result, -1, request, skip, count));
  }
};

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
  EXPECT_EQ(Sent(), (Requests{Out(4, 0x4000, 1), Out(4, 0x0008, 1), Out(4, 0x1108, 1),
                              Out(4, 0x1208, 1), Out(4, 0x5208, 1), Out(4, 0x1208, 1)}));
  const uint8_t acknowledged[3] = {KX_STOP_BITS_2, KX_PARITY_EVEN, KX_BITS_8};
  EXPECT_EQ(std::memcmp(as_device(h)->line_control, acknowledged, 3), 0);

  // A refused format keeps the acknowledged record, yet break uses its word.
  FailControl(4);
  EXPECT_EQ(KX_SetDataCharacteristics(h, KX_BITS_7, KX_STOP_BITS_2, KX_PARITY_ODD), KX_ERR_IO);
  EXPECT_EQ(std::memcmp(as_device(h)->line_control, acknowledged, 3), 0);
  Sent();
  EXPECT_EQ(KX_SetBreakOn(h), KX_OK);
  EXPECT_EQ(Sent(), Requests{Out(4, 0x5107, 1)});
}

TEST_F(ControlTest, FlowControlWordsOnBothChannels) {
  int chip = AddDual("D1", "Dual");
  KX_HANDLE a = Open(0);
  KX_HANDLE b = OpenQuiet(1);
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_OK);
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_RTS_CTS, 0x11, 0x13), KX_OK);
  EXPECT_EQ(KX_SetFlowControl(b, KX_FLOW_XON_XOFF, 0x11, 0x13), KX_OK);
  EXPECT_EQ(Sent(), (Requests{Out(2, 0x1311, 0x0401), Out(2, 0x0000, 0x0101), Out(2, 0x1311, 0x0402)}));
  EXPECT_EQ(State(chip, 0).flow_mode, KX_FLOW_RTS_CTS);
  EXPECT_EQ(State(chip, 1).flow_mode, KX_FLOW_XON_XOFF);
  EXPECT_EQ(State(chip, 1).flow_chars, 0x1311);
  EXPECT_EQ(as_device(a)->flow_control_value, KX_FLOW_RTS_CTS);
  FailControl(2);
  EXPECT_EQ(KX_SetFlowControl(a, KX_FLOW_DTR_DSR, 0, 0), KX_ERR_IO);
  EXPECT_EQ(as_device(a)->flow_control_value, KX_FLOW_RTS_CTS);
}

TEST_F(ControlTest, ModemControlLinesTouchOnlyTheirBit) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  norvec_device *device = as_device(h);
  device->modem_control = 0x80;  // a bit that no line request may touch
  EXPECT_EQ(KX_SetDtr(h), KX_OK);
  EXPECT_EQ(KX_SetRts(h), KX_OK);
  EXPECT_EQ(KX_ClrDtr(h), KX_OK);
  EXPECT_EQ(Sent(), (Requests{Out(1, 0x0101, 1), Out(1, 0x0202, 1), Out(1, 0x0100, 1)}));
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

TEST_F(ControlTest, SpecialCharactersStopAfterAFailedFirstRequest) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = OpenQuiet(0);
  // Any non-zero enable sends only 0x01 in the high byte.
  EXPECT_EQ(KX_SetChars(h, 0x7E, 5, 0x55, 0), KX_OK);
  EXPECT_EQ(Sent(), (Requests{Out(6, 0x017E, 1), Out(7, 0x0055, 1)}));
  const uint8_t stored[4] = {0x7E, 5, 0x55, 0};
  EXPECT_EQ(std::memcmp(as_device(h)->special_chars, stored, 4), 0);
  for (int failing : {6, 7}) {
    SCOPED_TRACE(failing);
    FailControl(failing);
    EXPECT_EQ(KX_SetChars(h, 0x0D, 1, 0x0A, 1), KX_ERR_IO);
    EXPECT_EQ(Sent(7).size(), failing == 6 ? 0u : 1u);
    EXPECT_EQ(std::memcmp(as_device(h)->special_chars, stored, 4), 0);
  }
  EXPECT_EQ(State(chip, 0).error_char, 0x0055);
}

TEST_F(ControlTest, PurgeAndResetOnChannelB) {
  int chip = AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = OpenQuiet(1);
  EXPECT_EQ(KX_Purge(b, KX_PURGE_RX), KX_OK);
  EXPECT_EQ(Sent(), Requests(6, Out(0, 1, 2)));
  EXPECT_EQ(KX_Purge(b, KX_PURGE_TX), KX_OK);
  EXPECT_EQ(Sent(), Requests{Out(0, 2, 2)});
  EXPECT_EQ(KX_Purge(b, KX_PURGE_RX | KX_PURGE_TX | 0x100), KX_OK);
  EXPECT_EQ(Sent(), PurgeBoth(2));
  EXPECT_EQ(KX_Purge(b, 0), KX_OK);
  EXPECT_EQ(Sent().size(), 0u) << "neither direction: nothing to do";
  EXPECT_EQ(State(chip, 1).rx_purges, 12u);
  EXPECT_EQ(State(chip, 1).tx_purges, 2u);
  EXPECT_EQ(State(chip, 0).rx_purges, 0u);

  // The reset goes to the whole chip (index 0), then both directions are purged.
  EXPECT_EQ(KX_ResetDevice(b), KX_OK);
  Requests reset = PurgeBoth(2);
  reset.insert(reset.begin(), Out(0, 0, 0));
  EXPECT_EQ(Sent(), reset);
  EXPECT_EQ(State(chip, 0).resets, 1u);
  EXPECT_EQ(State(chip, 1).resets, 1u);
  FailControl(0);
  EXPECT_EQ(KX_ResetDevice(b), KX_ERR_IO);
  EXPECT_EQ(Sent(), Requests{Out(0, 0, 0)}) << "no purge after a failed reset";
  FailControl(0, -5, 7, 1);  // reset and receive purge pass, transmit purge fails
  EXPECT_EQ(KX_ResetDevice(b), KX_ERR_IO);
  EXPECT_EQ(Sent().size(), 8u);
}

TEST_F(ControlTest, ReceivePurgeEmptiesTheRingOnlyWhenTheSixthRequestSucceeds) {
  int chip = AddSingle("S1", "Single");
  KX_HANDLE h = Open(0);
  // Read part of one packet so that the rest is certainly in the ring.
  ASSERT_EQ(vexa_sim_queue_rx(chip, 0, "abcdefghij", 10), 0);
  ASSERT_EQ(KX_SetTimeouts(h, 5000, 0), KX_OK);
  char first[4];
  uint32_t got = 0, queued = 0;
  ASSERT_EQ(KX_Read(h, first, 4, &got), KX_OK);
  const struct {
    int skip, count;
    uint32_t mask;
    KX_STATUS status;
    size_t sent;
    uint32_t queued;
  } rows[] = {
      {5, 1, KX_PURGE_RX | KX_PURGE_TX, KX_ERR_IO, 6, 6},  // the sixth fails: no transmit purge
      {0, 5, KX_PURGE_RX, KX_OK, 6, 0},                    // the first five fail, the sixth counts
      {6, 1, KX_PURGE_RX | KX_PURGE_TX, KX_ERR_IO, 7, 0},  // only the transmit purge fails
  };
  Sent();
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "skip " << row.skip << " count " << row.count);
    vexa_sim_clear_faults();
    FailControl(0, -5, row.skip, row.count);
    EXPECT_EQ(KX_Purge(h, row.mask), row.status);
    EXPECT_EQ(Sent().size(), row.sent);
    ASSERT_EQ(KX_GetQueueStatus(h, &queued), KX_OK);
    EXPECT_EQ(queued, row.queued);
  }
}

TEST_F(ControlTest, LatencyTimerAndBitModeOnlyOnCapableChips) {
  const struct {
    uint16_t bcd;
    const char *serial;
    bool capable;
  } chips[] = {{0x0400, "S4", true}, {0x0200, nullptr, true}, {0x0200, "S2", false},
               {0x0600, "S6", false}, {0x0500, "D5", true}};
  for (const auto &c : chips) {
    if (c.bcd == 0x0500)
      AddDual(c.serial, "Dual");
    else
      AddSingle(c.serial, "Single", c.bcd);
  }
  for (int index = 0; index < 5; ++index) {
    const auto &c = chips[index];
    SCOPED_TRACE(testing::Message() << "bcdDevice 0x" << std::hex << c.bcd);
    KX_HANDLE h = OpenQuiet(index);
    unsigned char latency = 0xEE, bits = 0xEE;
    const KX_STATUS expected = c.capable ? KX_OK : KX_ERR_UNSUPPORTED;
    EXPECT_EQ(KX_SetLatencyTimer(h, 40), expected);
    EXPECT_EQ(KX_GetLatencyTimer(h, &latency), expected);
    EXPECT_EQ(KX_SetBitMode(h, 0xF0, 0x01), expected);
    EXPECT_EQ(KX_GetBitMode(h, &bits), expected);
    EXPECT_EQ(latency, c.capable ? 40 : 0xEE);
    if (c.capable) {
      EXPECT_EQ(Sent(), (Requests{Out(9, 40, 1), In(10, 1), Out(11, 0x01F0, 1), In(12, 1)}));
      EXPECT_EQ(State(index, 0).latency_timer, 40);
      EXPECT_EQ(State(index, 0).bit_mode, 0x01);
      EXPECT_EQ(State(index, 0).bit_mask, 0xF0);
      EXPECT_EQ(as_device(h)->latency_timer.load(), 40);
      const uint8_t mode[2] = {0xF0, 0x01};
      EXPECT_EQ(std::memcmp(as_device(h)->bit_mode, mode, 2), 0);
    } else {
      EXPECT_EQ(Sent().size(), 0u);
      EXPECT_EQ(bits, 0xEE);
    }
    Close(h);
  }
}

TEST_F(ControlTest, FailedOrShortRepliesStoreNothing) {
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

TEST_F(ControlTest, ModemStatusComesFromTheOpenAndClearsOnlyTheModemEvent) {
  int chip = AddSingle("S1", "Single");
  // A silent channel sends no packets, so the value can come only from the
  // status request of the open sequence.
  ASSERT_EQ(vexa_sim_set_silent(chip, 0, 1), 0);
  ASSERT_EQ(vexa_sim_set_status(chip, 0, 0xB0, 0x60), 0);
  KX_HANDLE h = OpenQuiet(0);
  as_device(h)->event_status.store(KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED | 0x40);
  unsigned long status = 0xDEAD;
  EXPECT_EQ(KX_GetModemStatus(h, &status), KX_OK);
  EXPECT_EQ(status, 0xB0u);
  EXPECT_EQ(as_device(h)->line_status.load(), 0x60);
  EXPECT_EQ(as_device(h)->event_status.load(), KX_EVENT_RX_DATA | 0x40u);
  EXPECT_EQ(Sent().size(), 0u) << "the status comes from the record, not a request";
  Close(h);

  FailControl(5, 1);  // one byte of the two: nothing is stored
  h = Open(0);
  EXPECT_EQ(KX_GetModemStatus(h, &status), KX_OK);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(as_device(h)->line_status.load(), 0);
}

TEST_F(ControlTest, BaudRateDivisorAndIndexByChipAndChannel) {
  AddSingle("S4", "Single", 0x0400);
  AddSingle("S2", "Single", 0x0200);
  AddDual("D1", "Dual");
  const struct {
    int index;
    unsigned long rate;
    uint16_t divisor, wIndex;  // both 0: refused, nothing sent
  } cases[] = {
      {0, 9500, 0x813B, 0x0001},    {0, 9600, 0x4138, 0x0000},   {0, 184, 0x3FB0, 0x0001},
      {1, 9500, 0x013C, 0x0000},    {1, 14400, 0x80D0, 0x0000},  {1, 1600000, 0, 0},
      {2, 9500, 0x813B, 0x0101},    {2, 115200, 0x001A, 0x0001}, {2, 3090000, 0x0000, 0x0001},
      {3, 1600000, 0xC001, 0x0102}, {3, 921600, 0x8003, 0x0002}, {3, 14400, 0x00D0, 0x0102},
      {0, 57600, 0x0034, 0x0000},   {1, 2000000, 0x4001, 0x0000}, {0, 2900000, 0, 0},
      {2, 3090001, 0, 0},           {3, 4000000, 0, 0},
  };
  KX_HANDLE handles[4] = {Open(0), Open(1), Open(2), Open(3)};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "channel " << c.index << ", " << c.rate << " baud");
    Sent();
    norvec_device *device = as_device(handles[c.index]);
    const unsigned long before = device->baud_rate;
    if (c.divisor == 0 && c.wIndex == 0) {
      EXPECT_EQ(KX_SetBaudRate(handles[c.index], c.rate), KX_ERR_BAUD_RATE);
      EXPECT_EQ(Sent().size(), 0u);
      EXPECT_EQ(device->baud_rate, before);
    } else {
      EXPECT_EQ(KX_SetBaudRate(handles[c.index], c.rate), KX_OK);
      EXPECT_EQ(Sent(), Requests{Out(3, c.divisor, c.wIndex)});
      EXPECT_EQ(device->baud_rate, c.rate);
    }
  }
  // A refused request is a baud-rate error; the record keeps the rate anyway.
  ASSERT_EQ(KX_SetBaudRate(handles[0], 9600), KX_OK);
  FailControl(3);
  EXPECT_EQ(KX_SetBaudRate(handles[0], 19200), KX_ERR_BAUD_RATE);
  EXPECT_EQ(as_device(handles[0])->baud_rate, 19200u);
  EXPECT_EQ(State(0, 0).divisor, 0x4138) << "the chip keeps its previous divisor";
}

TEST_F(ControlTest, RawDivisorAlwaysCarriesThePortIndex) {
  AddSingle("S6", "Single", 0x0600);
  AddDual("D1", "Dual");
  KX_HANDLE single = Open(0);
  Open(1);
  KX_HANDLE b = OpenQuiet(2);
  EXPECT_EQ(KX_SetDivisor(single, 0xC001), KX_OK);
  EXPECT_EQ(KX_SetDivisor(b, 0xC001), KX_OK);
  EXPECT_EQ(Sent(), (Requests{Out(3, 0xC001, 1), Out(3, 0xC001, 2)}));
  EXPECT_EQ(as_device(b)->baud_rate, 0u);
  FailControl(3);
  EXPECT_EQ(KX_SetDivisor(b, 1), KX_ERR_IO);
}

TEST_F(ControlTest, DeviceInfoTypesLettersAndBufferLengths) {
  const std::string serial20 = "ABCDEFGHIJKLMNOPQRST", desc70(70, 'd');
  AddSingle(serial20.c_str(), desc70.c_str());
  AddDual(serial20.c_str(), desc70.c_str());
  const struct {
    int index;
    unsigned long type, id;
    size_t serial_room, description_room;
    const char *suffix;
  } rows[] = {{0, KX_DEVICE_BCD0400, 0x04036001u, 17, 65, ""},
              {1, KX_DEVICE_DUAL, 0x04036010u, 19, 67, " A"},
              {2, KX_DEVICE_DUAL, 0x04036010u, 19, 67, " B"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.index);
    KX_HANDLE h = Open(row.index);
    unsigned long type = 99, id = 0;
    char serial[32], description[80];
    std::memset(serial, '#', sizeof serial);
    std::memset(description, '#', sizeof description);
    EXPECT_EQ(KX_GetDeviceInfo(h, &type, &id, serial, description, nullptr), KX_OK);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(id, row.id);
    EXPECT_EQ(std::string(serial), serial20.substr(0, 16) + row.suffix);
    EXPECT_EQ(std::string(description), desc70.substr(0, 64) + row.suffix);
    EXPECT_EQ(std::string(serial + row.serial_room, serial + sizeof serial),
              std::string(sizeof serial - row.serial_room, '#'));
    EXPECT_EQ(std::string(description + row.description_room, description + sizeof description),
              std::string(sizeof description - row.description_room, '#'));
  }
}

TEST_F(ControlTest, DeviceInfoWithoutOrWithUnreadableStrings) {
  vexa_sim_chip_config config = {};
  config.bcd_device = 0x0600;
  AddChip(config);  // neither a serial number nor a product string
  AddSingle("R2", "Rev2", 0x0200);
  AddDual("D1", "Dual");
  KX_HANDLE bare = Open(0);
  KX_HANDLE r2 = Open(1);
  Open(2);
  KX_HANDLE b = Open(3);

  // A string fault that no request consumes stays armed for the next one:
  // it shows that the bare chip's call asked for no string at all.
  Inject(Fault(VEXA_SIM_FAULT_STRING, -5, -1, -1, 0, 1));
  unsigned long type = 99, id = 0;
  char serial[19] = "untouched", description[67] = "old";
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

  // Failed string reads give empty strings, without a channel letter.
  Inject(Fault(VEXA_SIM_FAULT_STRING, -5));
  EXPECT_EQ(KX_GetDeviceInfo(b, nullptr, nullptr, serial, description, nullptr), KX_OK);
  EXPECT_STREQ(serial, "");
  EXPECT_STREQ(description, "");
}

}  // namespace
