// The exported control functions against the simulated chip: the requests on
// the wire, the statuses, what a refused request leaves behind, and what each
// chip revision reports and takes.
#include <algorithm>
#include <cstring>
#include <functional>
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
Requests operator+(Requests first, const Requests &then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// The settings the record keeps once the chip has acknowledged them.
std::vector<int> Kept(KX_HANDLE h) {
  const norvec_device *d = as_device(h);
  return {d->line_control[0], d->line_control[1], d->line_control[2], d->flow_control_value,
          d->special_chars[0], d->special_chars[1], d->special_chars[2], d->special_chars[3],
          d->modem_control, d->latency_timer.load(), d->bit_mode[0], d->bit_mode[1]};
}

class ControlTest : public SimTest {
 protected:
  // The control requests sent since the log was last cleared; clears it.
  static Requests Sent(int request = -1) {
    Requests sent;
    for (const auto &e : ControlLog(request)) sent.emplace_back(e.request_type, e.request, e.value, e.index);
    vexa_sim_log_clear();
    return sent;
  }
  static void FailControl(int request, int result = -5, int skip = 0, int count = 1) {
    Inject(Fault(VEXA_SIM_FAULT_CONTROL, result, -1, request, skip, count));
  }
};

// Where the getters store what they read: a refused read must leave it alone.
unsigned char g_read;

// Every setter and getter on channel B of a dual chip (port 2): first refused
// by the chip, which must stop the sequence there and change nothing, then taken.
TEST_F(ControlTest, RequestsOnTheWireAndRefusedRequestsChangeNothing) {
  AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = Open(1);
  Sent();  // not the open sequence
  using Call = std::function<KX_STATUS(KX_HANDLE)>;
  const struct {
    const char *name;
    Call call;
    Requests wire;
    bool keeps = false;  // whether the record takes the new setting
    int failing = -1;  // the request that is refused; -1: the first one
    KX_STATUS refused = KX_ERR_IO;
    int result = -5;  // what the refused request returns (0: an empty reply)
  } rows[] = {
      {"break before any format", [](KX_HANDLE h) { return KX_SetBreakOn(h); }, {Out(4, 0x4000, 2)}, false},
      {"8N1", [](KX_HANDLE h) { return KX_SetDataCharacteristics(h, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_NONE); },
       {Out(4, 0x0008, 2)}, true},
      {"7O2", [](KX_HANDLE h) { return KX_SetDataCharacteristics(h, KX_BITS_7, KX_STOP_BITS_2, KX_PARITY_ODD); },
       {Out(4, 0x1107, 2)}, true},
      {"break on", [](KX_HANDLE h) { return KX_SetBreakOn(h); }, {Out(4, 0x5107, 2)}, false},
      {"break off", [](KX_HANDLE h) { return KX_SetBreakOff(h); }, {Out(4, 0x1107, 2)}, false},
      {"xon/xoff", [](KX_HANDLE h) { return KX_SetFlowControl(h, KX_FLOW_XON_XOFF, 0x11, 0x13); },
       {Out(2, 0x1311, 0x0402)}, true},
      {"rts/cts ignores the characters", [](KX_HANDLE h) { return KX_SetFlowControl(h, KX_FLOW_RTS_CTS, 0x11, 0x13); },
       {Out(2, 0x0000, 0x0102)}, true},
      {"set dtr", [](KX_HANDLE h) { return KX_SetDtr(h); }, {Out(1, 0x0101, 2)}, true},
      {"set rts", [](KX_HANDLE h) { return KX_SetRts(h); }, {Out(1, 0x0202, 2)}, true},
      {"clear dtr", [](KX_HANDLE h) { return KX_ClrDtr(h); }, {Out(1, 0x0100, 2)}, true},
      {"clear rts", [](KX_HANDLE h) { return KX_ClrRts(h); }, {Out(1, 0x0200, 2)}, true},
      // Any non-zero enable sends only 0x01 in the high byte.
      {"chars, first refused", [](KX_HANDLE h) { return KX_SetChars(h, 0x7E, 5, 0x55, 0); },
       {Out(6, 0x017E, 2), Out(7, 0x0055, 2)}, true},
      {"chars, second refused", [](KX_HANDLE h) { return KX_SetChars(h, 0x0D, 0, 0x0A, 1); },
       {Out(6, 0x000D, 2), Out(7, 0x010A, 2)}, true, 7},
      {"latency timer", [](KX_HANDLE h) { return KX_SetLatencyTimer(h, 40); }, {Out(9, 40, 2)}, true},
      {"get latency", [](KX_HANDLE h) { return KX_GetLatencyTimer(h, &g_read); }, {In(10, 2)}},
      {"get bit mode, empty reply", [](KX_HANDLE h) { return KX_GetBitMode(h, &g_read); },
       {In(12, 2)}, false, -1, KX_ERR_IO, 0},
      {"bit mode", [](KX_HANDLE h) { return KX_SetBitMode(h, 0xF0, 0x01); }, {Out(11, 0x01F0, 2)}, true},
      {"raw divisor", [](KX_HANDLE h) { return KX_SetDivisor(h, 0xC001); }, {Out(3, 0xC001, 2)}, false},
      {"baud rate", [](KX_HANDLE h) { return KX_SetBaudRate(h, 9600); }, {Out(3, 0x4138, 2)}, false, -1,
       KX_ERR_BAUD_RATE},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const int failing = row.failing >= 0 ? row.failing : std::get<1>(row.wire.front());
    const std::vector<int> before = Kept(b);
    FailControl(failing, row.result);
    g_read = 0xEE;
    EXPECT_EQ(row.call(b), row.refused);
    EXPECT_EQ(g_read, 0xEE);
    const auto stop = std::find_if(row.wire.begin(), row.wire.end(),
                                   [failing](const Request &r) { return std::get<1>(r) == failing; });
    EXPECT_EQ(Sent(), Requests(row.wire.begin(), stop + 1)) << "nothing sent after the refusal";
    EXPECT_EQ(Kept(b), before);
    EXPECT_EQ(row.call(b), KX_OK);
    EXPECT_EQ(Sent(), row.wire);
    EXPECT_EQ(Kept(b) != before, row.keeps);
  }
  // A break carries the format asked for last, even one the chip refused.
  FailControl(4);
  EXPECT_EQ(KX_SetDataCharacteristics(b, KX_BITS_8, KX_STOP_BITS_1, KX_PARITY_EVEN), KX_ERR_IO);
  Sent();
  EXPECT_EQ(KX_SetBreakOn(b), KX_OK);
  EXPECT_EQ(Sent(), Requests{Out(4, 0x4208, 2)});
}

// A rate whose exact divisor is 100 plus `hundredths` hundredths (truncated).
unsigned long RateWithFraction(unsigned hundredths) {
  for (unsigned long rate = 3000000 / 101 + 1; rate <= 3000000 / 100; ++rate)
    if ((3000000 % rate) * 100 / rate == hundredths) return rate;
  return 0;
}

// The divisor word and wIndex on the wire, for a chip without eighth steps
// (revision 2 with a serial number), one with them (revision 4) and channel B
// of the dual chip, which carries the port in wIndex's low byte.
TEST_F(ControlTest, BaudRatesOnTheWireByChipFamily) {
  AddSingle("S2", "Single", 0x0200);
  AddSingle("S4", "Single", 0x0400);
  AddDual("D1", "Dual");
  KX_HANDLE plain = Open(0), capable = Open(1);
  Open(2);
  KX_HANDLE b = Open(3);
  struct Row {
    KX_HANDLE handle;
    unsigned long rate;
    int divisor, index;  // divisor -1: refused, nothing sent
  };
  std::vector<Row> rows = {
      {plain, 9500, 0x013C, 0},       {capable, 9500, 0x813B, 1},      {b, 9500, 0x813B, 0x0102},
      {plain, 9600, 0x4138, 0},       {b, 921600, 0x8003, 0x0002},     {capable, 57600, 0x0034, 0},
      {plain, 184, 0xBFB0, 0},        {capable, 184, 0x3FB0, 1},       {capable, 183, -1, 0},
      {plain, 14400, 0x80D0, 0},      {capable, 14400, 0x00D0, 1},     {b, 14400, 0x00D0, 0x0102},
      {plain, 1600000, -1, 0},        {capable, 1600000, 0xC001, 1},   {b, 1600000, 0xC001, 0x0102},
      {plain, 2000000, 0x4001, 0},    {capable, 2000000, 0x4001, 0},   {b, 3090000, 0x0000, 0x0002},
      {b, 3090001, -1, 0},            {capable, 4000000, -1, 0},
  };
  // Rate 0 and the 3 % tolerance bands near the top rate are the same on every chip.
  const struct {
    unsigned long rate;
    int divisor;
  } edges[] = {{0, -1},       {2600554, -1}, {2600555, 0xC001}, {2758928, 0xC001}, {2758929, -1}, {2900000, -1},
               {2912621, -1}, {2912622, 0},  {3000000, 0},      {3090000, 0},      {3090001, -1}};
  for (KX_HANDLE h : {plain, capable})
    for (const auto &edge : edges) rows.push_back({h, edge.rate, edge.divisor, 0});
  // Each fraction band at both edges (divisor 100 plus the fraction code);
  // -1 rounds up to the next whole divisor. With eighth steps the extension
  // (wIndex) turns 0, 1/2, 1/4 and 1/8 into 3/8, 5/8, 3/4 and 7/8.
  const struct {
    unsigned hundredths;
    int plain_code, capable_code, capable_extension;
  } fractions[] = {
      {0, 0x0000, 0x0000, 0},  {6, 0x0000, 0x0000, 0},  {7, 0xC000, 0xC000, 0},  {18, 0xC000, 0xC000, 0},
      {19, 0x8000, 0x8000, 0}, {31, 0x8000, 0x8000, 0}, {32, 0x8000, 0x0000, 1}, {37, 0x8000, 0x0000, 1},
      {38, 0x4000, 0x0000, 1}, {43, 0x4000, 0x0000, 1}, {44, 0x4000, 0x4000, 0}, {56, 0x4000, 0x4000, 0},
      {57, 0x4000, 0x4000, 1}, {68, 0x4000, 0x4000, 1}, {69, 0x4000, 0x8000, 1}, {75, 0x4000, 0x8000, 1},
      {76, -1, 0x8000, 1},     {81, -1, 0x8000, 1},     {82, -1, 0xC000, 1},     {93, -1, 0xC000, 1},
      {94, -1, -1, 0},         {99, -1, -1, 0},
  };
  for (const auto &f : fractions) {
    const unsigned long rate = RateWithFraction(f.hundredths);
    ASSERT_NE(rate, 0u) << f.hundredths;
    rows.push_back({plain, rate, f.plain_code < 0 ? 101 : 100 | f.plain_code, 0});
    rows.push_back({capable, rate, f.capable_code < 0 ? 101 : 100 | f.capable_code, f.capable_extension});
  }
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << (row.handle == plain ? "plain " : row.handle == b ? "dual B " : "capable ")
                                    << row.rate << " baud");
    Sent();
    EXPECT_EQ(KX_SetBaudRate(row.handle, row.rate), row.divisor < 0 ? KX_ERR_BAUD_RATE : KX_OK);
    EXPECT_EQ(Sent(), row.divisor < 0 ? Requests{} : Requests{Out(3, row.divisor, row.index)});
  }
}

// Six receive purges, then the transmit one; the reset goes to the whole chip
// (index 0) first. A refused request ends the sequence, and the receive ring
// is emptied only when the sixth receive purge succeeds.
TEST_F(ControlTest, PurgeAndResetOnTheWireAndInTheRing) {
  const int chip = AddDual("D1", "Dual");
  Open(0);
  KX_HANDLE b = Open(1);
  const Requests rx(6, Out(0, 1, 2)), tx{Out(0, 2, 2)}, reset{Out(0, 0, 0)};
  const struct {
    const char *name;
    std::function<KX_STATUS()> call;
    int skip, count;  // the requests refused (count 0: none)
    KX_STATUS status;
    Requests wire;
    bool emptied;
  } rows[] = {
      {"receive", [b] { return KX_Purge(b, KX_PURGE_RX); }, 0, 0, KX_OK, rx, true},
      {"transmit", [b] { return KX_Purge(b, KX_PURGE_TX); }, 0, 0, KX_OK, tx, false},
      {"neither", [b] { return KX_Purge(b, 0); }, 0, 0, KX_OK, {}, false},
      {"both, other bits ignored", [b] { return KX_Purge(b, KX_PURGE_RX | KX_PURGE_TX | 0x100); },
       0, 0, KX_OK, rx + tx, true},
      {"sixth receive purge refused", [b] { return KX_Purge(b, KX_PURGE_RX | KX_PURGE_TX); },
       5, 1, KX_ERR_IO, rx, false},
      {"first five refused", [b] { return KX_Purge(b, KX_PURGE_RX); }, 0, 5, KX_OK, rx, true},
      {"transmit purge refused", [b] { return KX_Purge(b, KX_PURGE_RX | KX_PURGE_TX); },
       6, 1, KX_ERR_IO, rx + tx, true},
      {"reset", [b] { return KX_ResetDevice(b); }, 0, 0, KX_OK, reset + rx + tx, true},
      {"reset refused", [b] { return KX_ResetDevice(b); }, 0, 1, KX_ERR_IO, reset, false},
      {"reset, transmit purge refused", [b] { return KX_ResetDevice(b); },
       7, 1, KX_ERR_IO, reset + rx + tx, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    vexa_sim_clear_faults();
    ASSERT_EQ(KX_Purge(b, KX_PURGE_RX), KX_OK);
    ASSERT_TRUE(Deliver(chip, 1, Pattern(10)));
    ASSERT_TRUE(Eventually([b] { return Queued(b) == 10; }));
    Sent();
    if (row.count > 0) FailControl(0, -5, row.skip, row.count);
    EXPECT_EQ(row.call(), row.status);
    EXPECT_EQ(Sent(), row.wire);
    EXPECT_EQ(Queued(b), row.emptied ? 0u : 10u);
  }
}

TEST_F(ControlTest, ModemStatusComesFromTheOpenAndClearsOnlyTheModemEvent) {
  int chip = AddSingle("S1", "Single");
  // A silent channel sends no packets, so the value can come only from the
  // status request of the open sequence.
  ASSERT_EQ(vexa_sim_set_silent(chip, 0, 1), 0);
  ASSERT_EQ(vexa_sim_set_status(chip, 0, 0xB1, 0x60), 0);  // the low nibble is not reported
  KX_HANDLE h = Open(0);
  Sent();
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

// Strings are cut to 16 and 64 characters, plus the channel letter of a dual
// chip, and nothing is written past them; a failed string read gives the
// empty string without a letter, and a chip without strings is asked for none.
TEST_F(ControlTest, DeviceInfoStrings) {
  const std::string serial20 = "ABCDEFGHIJKLMNOPQRST", desc70(70, 'd');
  AddSingle(serial20.c_str(), desc70.c_str());
  AddDual(serial20.c_str(), desc70.c_str());
  AddChip({0, 0, 0x0600, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0});
  KX_HANDLE single = Open(0), b = Open(2), bare = Open(3);
  const struct {
    KX_HANDLE handle;
    unsigned long id;
    size_t serial_room, description_room;
    const char *suffix;
  } rows[] = {{single, 0x04036001u, 17, 65, ""}, {b, 0x04036010u, 19, 67, " B"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.suffix);
    unsigned long id = 0;
    char serial[32], description[80];
    std::memset(serial, '#', sizeof serial);
    std::memset(description, '#', sizeof description);
    EXPECT_EQ(KX_GetDeviceInfo(row.handle, nullptr, &id, serial, description, nullptr), KX_OK);
    EXPECT_EQ(id, row.id);
    EXPECT_EQ(std::string(serial), serial20.substr(0, 16) + row.suffix);
    EXPECT_EQ(std::string(description), desc70.substr(0, 64) + row.suffix);
    EXPECT_EQ(std::string(serial + row.serial_room, serial + sizeof serial),
              std::string(sizeof serial - row.serial_room, '#'));
    EXPECT_EQ(std::string(description + row.description_room, description + sizeof description),
              std::string(sizeof description - row.description_room, '#'));
  }
  // A string fault that no request consumes stays armed for the next one:
  // it shows that the bare chip's call asked for no string at all.
  Inject(Fault(VEXA_SIM_FAULT_STRING, -5, -1, -1, 0, 1));
  char serial[19] = "untouched", description[67] = "old";
  EXPECT_EQ(KX_GetDeviceInfo(bare, nullptr, nullptr, serial, description, nullptr), KX_OK);
  EXPECT_STREQ(serial, "untouched");
  EXPECT_STREQ(description, "");
  EXPECT_EQ(KX_GetDeviceInfo(b, nullptr, nullptr, serial, nullptr, nullptr), KX_OK);
  EXPECT_STREQ(serial, "") << "the armed fault fails this read";
  Inject(Fault(VEXA_SIM_FAULT_STRING, -5));
  EXPECT_EQ(KX_GetDeviceInfo(b, nullptr, nullptr, nullptr, description, nullptr), KX_OK);
  EXPECT_STREQ(description, "");
}

// Each revision as an application meets it, opened by description so that an
// unknown revision and parts without a serial-number string are reached too.
TEST_F(ControlTest, RevisionsTypeOptionalRequestsAndDivisorAddressing) {
  const struct {
    const char *product;
    uint16_t bcd;
    const char *serial;  // null: the descriptor names no serial-number string
    int interfaces;
    unsigned long type;
    bool optional;       // latency timer, bit mode and eighth-step divisors
    Request baud_9500;
    const char *letter;  // what the description read back ends with
  } rows[] = {
      {"rev0", 0x0200, "R2", 1, KX_DEVICE_BCD0200, false, Out(3, 0x013C, 0), ""},
      {"rev1", 0x0200, nullptr, 1, KX_DEVICE_BCD0400, true, Out(3, 0x813B, 1), ""},
      {"rev2", 0x0400, nullptr, 1, KX_DEVICE_BCD0400, true, Out(3, 0x813B, 1), ""},
      {"rev3", 0x0500, "D5", 2, KX_DEVICE_DUAL, true, Out(3, 0x813B, 0x0101), " A"},
      {"rev4", 0x0600, "R6", 1, KX_DEVICE_OTHER, false, Out(3, 0x013C, 0), ""},
      {"rev5", 0x0700, "R7", 2, KX_DEVICE_OTHER, false, Out(3, 0x013C, 0), ""},
  };
  for (const auto &row : rows) {
    vexa_sim_chip_config config = {};
    config.bcd_device = row.bcd;
    config.serial = row.serial;
    config.product = row.product;
    config.interfaces = row.interfaces;
    AddChip(config);
  }
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "bcdDevice 0x" << std::hex << row.bcd
                                    << (row.serial ? " with serial" : " without serial"));
    KX_HANDLE h = OpenBy(row.product, KX_MATCH_DESCRIPTION);
    unsigned long type = 99;
    char text[67] = "";
    EXPECT_EQ(KX_GetDeviceInfo(h, &type, nullptr, nullptr, text, nullptr), KX_OK);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(std::string(text), std::string(row.product) + row.letter);
    // An incapable chip is refused every optional call without a request.
    unsigned char latency = 0xEE, bits = 0xEE;
    const KX_STATUS optional = row.optional ? KX_OK : KX_ERR_UNSUPPORTED;
    Sent();
    EXPECT_EQ(KX_SetLatencyTimer(h, 40), optional);
    EXPECT_EQ(KX_GetLatencyTimer(h, &latency), optional);
    EXPECT_EQ(KX_SetBitMode(h, 0xF0, 0x01), optional);
    EXPECT_EQ(KX_GetBitMode(h, &bits), optional);
    EXPECT_EQ(Sent().size(), row.optional ? 4u : 0u);
    EXPECT_EQ(latency, row.optional ? 40 : 0xEE);
    EXPECT_EQ(KX_SetBaudRate(h, 9500), KX_OK);
    EXPECT_EQ(Sent(), Requests{row.baud_9500});
    Close(h);
  }
}

}  // namespace
