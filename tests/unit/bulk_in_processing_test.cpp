// Event raising of the reader thread packet by packet, and a waiting read
// served straight from the transfer, on a hand-made record.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bulk_in.h"
#include "device.h"
#include "read_wait.h"

namespace {

// A device record built by hand, 64-byte packets, with no USB behind it.
struct HandMadeDevice {
  norvec_device device;
  std::vector<uint8_t> storage = std::vector<uint8_t>(65536, 0);

  HandMadeDevice() {
    device.rx_buffer = storage.data();
    device.max_packet_size = 64;
    device.in_buffer_size = 65536;
    device.in_transfer_size = 4096;
    device.rx_free = device.rx_capacity = 65536 - 2 * 1024;
  }
  uint32_t Queued() const { return device.rx_capacity - device.rx_free; }
  uint32_t TakeEvents() {
    uint32_t events = 0xFFFF;
    EXPECT_EQ(KX_GetEventStatus(&device, &events), KX_OK);
    return events;
  }
};

// n bytes counting up from first (wrapping at 256).
std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// One bulk-in packet (of at most the record's packet size): modem status, line status, payload.
struct Packet {
  uint8_t modem, line;
  std::vector<uint8_t> payload;
};

// Hands the reader one transfer made of these packets.
void Feed(norvec_device &device, const std::vector<Packet> &packets) {
  std::vector<uint8_t> raw;
  for (const Packet &p : packets) {
    raw.push_back(p.modem);
    raw.push_back(p.line);
    raw.insert(raw.end(), p.payload.begin(), p.payload.end());
  }
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
}

// A read request left in the slot as a waiting KX_Read leaves it.
struct PendingRead {
  ReadWaiter waiter;
  std::vector<uint8_t> buffer;
  uint32_t returned = 0;

  PendingRead(norvec_device &device, uint32_t n) : buffer(n) {
    RequestReadData(&device, &waiter, static_cast<int>(n), buffer.data(), &returned);
  }
};

// An event is raised only from a clear status word, and the rules hold packet
// by packet within a transfer. The rows run in order on one record: each
// starts from the modem status the one before left.
TEST(BulkInData, EventsRaiseOnlyFromAClearStatusWordPacketByPacket) {
  constexpr uint32_t kBoth = KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED;
  const struct {
    const char *what;
    uint32_t mask;
    std::vector<std::vector<Packet>> transfers;
    uint32_t events;
    uint8_t modem;
  } rows[] = {
      {"data and a change in one packet, then a change", kBoth,
       {{{0x10, 0, {1, 2, 3}}}, {{0x30, 0, {}}}}, KX_EVENT_RX_DATA, 0x30},
      {"a change alone", kBoth, {{{0xB0, 0, {}}}}, KX_EVENT_MODEM_CHANGED, 0xB0},
      {"low bits only", kBoth, {{{0xBF, 0, {}}}}, 0, 0xB0},
      {"a change not in the mask", KX_EVENT_RX_DATA, {{{0x10, 0, {}}}}, 0, 0x10},
      {"data not in the mask, a change in the second packet", KX_EVENT_MODEM_CHANGED,
       {{{0x10, 0, Counting(62)}, {0x00, 0, Counting(62)}, {0x10, 0, Counting(5)}}},
       KX_EVENT_MODEM_CHANGED, 0x10},
      {"a change with the data, another further on", kBoth,
       {{{0x80, 0, Counting(62)}, {0x90, 0, Counting(3)}}}, KX_EVENT_RX_DATA, 0x90},
  };
  HandMadeDevice hand;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(KX_SetEventNotification(&hand.device, row.mask, nullptr), KX_OK);
    for (const auto &transfer : row.transfers) Feed(hand.device, transfer);
    EXPECT_EQ(hand.TakeEvents(), row.events);
    EXPECT_EQ(hand.device.modem_status.load(), row.modem) << "the status of the last packet";
  }

  // Switched off, the word keeps what it holds until it is read, and nothing
  // new is raised.
  Feed(hand.device, {{0x90, 0, Counting(3)}});
  ASSERT_EQ(KX_SetEventNotification(&hand.device, 0, nullptr), KX_OK);
  EXPECT_EQ(hand.TakeEvents(), KX_EVENT_RX_DATA);
  Feed(hand.device, {{0x80, 0, Counting(3)}});
  EXPECT_EQ(hand.TakeEvents(), 0u);
}

// A read waiting on an empty ring takes a transfer's payload straight from
// the reader; bytes queued before it go first, and what the read does not
// take waits in the ring (here across its end) with the data event pending.
TEST(BulkInTransfer, AWaitingReadIsServedInOrderFromTheRingAndTheTransfer) {
  const struct {
    uint32_t queued, asked;
    std::vector<Packet> transfer;
    uint32_t returned;
    bool finished;
  } rows[] = {
      {0, 100, {{0, 0, Counting(62)}, {0, 0, Counting(62, 62)}}, 100, true},
      {0, 62, {{0, 0, Counting(62)}}, 62, true},
      {0, 200, {{0, 0, Counting(62)}}, 62, false},
      {10, 200, {{0, 0, Counting(20, 10)}}, 0, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.queued << " queued, " << row.asked << " asked");
    HandMadeDevice hand;
    hand.device.rx_read_pos = hand.device.rx_write_pos = hand.device.rx_capacity - 20;
    ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA, nullptr), KX_OK);
    if (row.queued) Feed(hand.device, {{0, 0, Counting(row.queued)}});
    PendingRead read(hand.device, row.asked);
    Feed(hand.device, row.transfer);
    EXPECT_EQ(read.returned, row.returned);
    EXPECT_EQ(read.waiter.finished, row.finished) << "completed in the pass that brought the bytes";
    if (!row.finished) CancelReadRequest(&hand.device);
    const uint32_t left = hand.Queued();
    EXPECT_EQ(hand.TakeEvents(), left ? KX_EVENT_RX_DATA : 0u) << "pending while bytes wait";
    std::vector<uint8_t> stream(read.buffer.begin(), read.buffer.begin() + read.returned);
    stream.resize(row.returned + left);
    uint32_t got = 0;
    ASSERT_EQ(KX_Read(&hand.device, stream.data() + row.returned, left, &got), KX_OK);
    EXPECT_EQ(stream, Counting(stream.size()));
  }
}

TEST(Deadline, CarriesNanosecondsIntoSeconds) {
  const struct {
    timespec now;
    uint32_t ms;
    long sec, nsec;
  } rows[] = {{{100, 999999000L}, 1999, 102, 998999000L}, {{100, 0}, 500, 100, 500000000L},
              {{7, 500000000L}, 500, 8, 0L},             {{7, 1000}, 3000, 10, 1000L}};
  for (const auto &row : rows) {
    const timespec deadline = DeadlineAfter(row.now, row.ms);
    SCOPED_TRACE(testing::Message() << row.now.tv_sec << "." << row.now.tv_nsec << " + " << row.ms);
    EXPECT_EQ(deadline.tv_sec, row.sec);
    EXPECT_EQ(deadline.tv_nsec, row.nsec);
  }
}

}  // namespace
