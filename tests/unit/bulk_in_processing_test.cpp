// Packet handling, ring arithmetic, transfer sizing and event raising of the
// reader thread, on a hand-made record.
#include <gtest/gtest.h>

#include "bulk_in.h"
#include "hand_made_device.h"
#include "read_wait.h"
#include "transfer_size.h"

namespace {

void Feed(norvec_device &device, std::vector<uint8_t> raw) {
  ProcessBulkInData(&device, raw.data(), static_cast<int>(raw.size()));
}

std::vector<uint8_t> RingAt(const HandMadeDevice &hand, uint32_t pos, size_t n) {
  return std::vector<uint8_t>(hand.storage.begin() + pos, hand.storage.begin() + pos + n);
}

TEST(TransferSizing, PayloadPerTransferAndLengthInWholePackets) {
  const struct {
    uint32_t packet, size, payload;
  } rows[] = {{64, 4096, 3968}, {64, 65536, 63488}, {64, 64, 62}, {512, 4096, 4080}, {512, 65536, 65280}};
  for (const auto &row : rows) {
    HandMadeDevice hand(row.packet);
    EXPECT_EQ(GetBytesPerTransfer(row.size, &hand.device), row.payload) << row.packet << "/" << row.size;
  }
  // 4096-byte transfers carry 3968 payload bytes on 64-byte packets, 4080 on 512.
  const struct {
    uint32_t room, packet, length;
  } lengths[] = {{0, 64, 0},       {1, 64, 64},       {100, 64, 64},    {1000, 64, 960},  {3968, 64, 4096},
              {63488, 64, 4096}, {300, 512, 512},  {4079, 512, 3584}, {4080, 512, 4096}};
  for (const auto &row : lengths) {
    const uint32_t payload = row.packet == 64 ? 3968 : 4080;
    EXPECT_EQ(InTransferLength(row.room, row.packet, 4096, payload), row.length) << row.room << "/" << row.packet;
  }
}

TEST(BulkInData, PayloadWrapsAtTheEndOfTheRing) {
  HandMadeDevice hand(64);
  const uint32_t capacity = hand.device.rx_capacity;
  const auto payload = Counting(62, 1);
  // 10 bytes before the end: 10 go to the end, 52 to the start.
  hand.EmptyAt(capacity - 10);
  Feed(hand.device, Packet(0, 0, payload));
  EXPECT_EQ(RingAt(hand, capacity - 10, 10), std::vector<uint8_t>(payload.begin(), payload.begin() + 10));
  EXPECT_EQ(RingAt(hand, 0, 52), std::vector<uint8_t>(payload.begin() + 10, payload.end()));
  EXPECT_EQ(hand.device.rx_write_pos, 52u);
  EXPECT_EQ(hand.device.rx_free, capacity - 62);
  EXPECT_EQ(hand.storage[capacity], 0) << "nothing written past the ring's capacity";

  // A payload ending exactly at the end leaves the write position at 0, and
  // reading those bytes leaves the read position at 0.
  HandMadeDevice exact(64);
  exact.EmptyAt(capacity - 62);
  Feed(exact.device, Packet(0, 0, payload));
  EXPECT_EQ(exact.device.rx_write_pos, 0u);
  std::vector<uint8_t> out(62);
  uint32_t returned = 0;
  ASSERT_EQ(KX_Read(&exact.device, out.data(), 62, &returned), KX_OK);
  EXPECT_EQ(returned, 62u);
  EXPECT_EQ(out, payload);
  EXPECT_EQ(exact.device.rx_read_pos, 0u);
  EXPECT_EQ(exact.device.rx_free, capacity);
}

TEST(BulkInData, EventsRaiseOnlyFromAClearStatusWord) {
  HandMadeDevice hand(64);
  ASSERT_EQ(KX_SetEventNotification(&hand.device, KX_EVENT_RX_DATA | KX_EVENT_MODEM_CHANGED, nullptr), KX_OK);
  Feed(hand.device, Packet(0x10, 0, {1, 2, 3}));  // data and a modem change in one packet
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA) << "one packet raises one event";
  Feed(hand.device, Packet(0x30, 0, {}));  // modem change while data is pending
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_RX_DATA);
  uint32_t events = 0;
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, Packet(0xB0, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), KX_EVENT_MODEM_CHANGED);
  ASSERT_EQ(KX_GetEventStatus(&hand.device, &events), KX_OK);
  Feed(hand.device, Packet(0xBF, 0, {}));
  EXPECT_EQ(hand.device.event_status.load(), 0u) << "same upper nibble, low bits set: no change";
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
    EXPECT_EQ(deadline.tv_sec, row.sec) << row.now.tv_sec << "." << row.now.tv_nsec << " + " << row.ms;
    EXPECT_EQ(deadline.tv_nsec, row.nsec);
  }
}

}  // namespace
